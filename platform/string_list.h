// TStringList: an ordered list of UTF-8 strings with its text form, name=value access and a
// change notification.
//
// Text joins the lines with "\n" (no line break after the last); setting it splits on "\r\n"
// and "\n" (a final line break makes no empty last line). Name=value lines are found by the
// name before the first "=", ignoring case. Every change calls OnChange once; between
// BeginUpdate and the matching EndUpdate changes are gathered and EndUpdate calls OnChange once
// when anything changed.
//
// Thread-safety: a plain value, used by one thread at a time.
#ifndef LARKSPIRE_PLATFORM_STRING_LIST_H_
#define LARKSPIRE_PLATFORM_STRING_LIST_H_

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace larkspire {

class TStringList {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines) : items_(lines) {}
  // Copies the lines only; the notification stays with the original.
  TStringList(const TStringList& other) : items_(other.items_) {}
  TStringList& operator=(const TStringList& other);

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const { return items_.at(index); }
  const std::vector<std::string>& Strings() const { return items_; }
  void Put(int index, const std::string& line);
  int Add(const std::string& line);
  void Insert(int index, const std::string& line);
  void Delete(int index);
  void Clear();
  // Index of the line equal to text, or -1.
  int IndexOf(const std::string& text) const;

  std::string Text() const;
  void SetText(const std::string& text);
  // Replaces the lines with those of other (one notification).
  void Assign(const TStringList& other);

  // Name=value access: the value of the first line named name (empty when none), and setting
  // it (an empty value removes the line, a new name appends one).
  int IndexOfName(const std::string& name) const;
  std::string Value(const std::string& name) const;
  void SetValue(const std::string& name, const std::string& value);
  std::string Name(int index) const;
  std::string ValueFromIndex(int index) const;

  void BeginUpdate() { ++update_count_; }
  void EndUpdate();

  std::function<void()> OnChange;

 private:
  void Changed();

  std::vector<std::string> items_;
  int update_count_ = 0;
  bool pending_change_ = false;
};

}  // namespace larkspire

#endif  // LARKSPIRE_PLATFORM_STRING_LIST_H_
