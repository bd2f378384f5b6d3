#include "platform/string_list.h"

#include <strings.h>

namespace larkspire {

TStringList& TStringList::operator=(const TStringList& other) {
  if (this != &other) Assign(other);
  return *this;
}

void TStringList::Changed() {
  if (update_count_ > 0) {
    pending_change_ = true;
    return;
  }
  if (OnChange) OnChange();
}

void TStringList::EndUpdate() {
  if (update_count_ == 0) return;
  if (--update_count_ == 0 && pending_change_) {
    pending_change_ = false;
    Changed();
  }
}

void TStringList::Put(int index, const std::string& line) {
  items_.at(index) = line;
  Changed();
}

int TStringList::Add(const std::string& line) {
  items_.push_back(line);
  Changed();
  return Count() - 1;
}

void TStringList::Insert(int index, const std::string& line) {
  if (index < 0 || index > Count()) index = Count();
  items_.insert(items_.begin() + index, line);
  Changed();
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) return;
  items_.erase(items_.begin() + index);
  Changed();
}

void TStringList::Clear() {
  if (items_.empty()) return;
  items_.clear();
  Changed();
}

int TStringList::IndexOf(const std::string& text) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[i] == text) return i;
  return -1;
}

std::string TStringList::Text() const {
  std::string text;
  for (size_t i = 0; i < items_.size(); ++i) {
    if (i > 0) text += '\n';
    text += items_[i];
  }
  return text;
}

void TStringList::SetText(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t stop = end;
    if (stop > start && text[stop - 1] == '\r') --stop;
    lines.push_back(text.substr(start, stop - start));
    start = end + 1;
  }
  items_ = std::move(lines);
  Changed();
}

void TStringList::Assign(const TStringList& other) {
  if (this == &other) return;
  items_ = other.items_;
  Changed();
}

int TStringList::IndexOfName(const std::string& name) const {
  for (int i = 0; i < Count(); ++i) {
    const size_t eq = items_[i].find('=');
    if (eq == std::string::npos) continue;
    if (eq == name.size() && strncasecmp(items_[i].data(), name.data(), eq) == 0) return i;
  }
  return -1;
}

std::string TStringList::Value(const std::string& name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValue(const std::string& name, const std::string& value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    if (index >= 0) Delete(index);
    return;
  }
  if (index >= 0)
    Put(index, name + "=" + value);
  else
    Add(name + "=" + value);
}

std::string TStringList::Name(int index) const {
  const std::string& line = items_.at(index);
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = items_.at(index);
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

}  // namespace larkspire
