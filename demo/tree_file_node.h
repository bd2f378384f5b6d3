// TTreeFileNode: a node of the file browser's tree: one entry of a server listing (or the root
// "服务器", whose Path and Kind are empty).
//
// Thread-safety: main thread only, like the tree.
#ifndef LARKSPIRE_DEMO_TREE_FILE_NODE_H_
#define LARKSPIRE_DEMO_TREE_FILE_NODE_H_

#include <QTreeWidgetItem>
#include <cstdint>
#include <string>

namespace larkspire {

class TTreeFileNode : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;

  // The entry's full path on the server, as the listing names it.
  std::string Path;
  // "F" a file, "D" a directory, or whatever other kind the listing gave.
  std::string Kind;
  // A file's size from the listing; 0 otherwise.
  int64_t Size = 0;
  // The node's image in the main window's image list (also its selected image).
  int ImageIndex = 0;
};

}  // namespace larkspire

#endif  // LARKSPIRE_DEMO_TREE_FILE_NODE_H_
