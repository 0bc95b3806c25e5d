// A Dictionary's key. The same few dozen keys name the members of every table a registry holds
// (each of a host's thousands of logical units has the same dozen), so each distinct text is held
// once for the life of the process and a key is one pointer to it: equal keys are the same
// pointer, and a table's member costs a pointer for its key, never a copy of the text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace halvane {

class Key {
 public:
  // Implicit, so that a key is written as its text wherever one is expected.
  Key(std::string_view text);                                    // NOLINT
  Key(const std::string& text) : Key(std::string_view(text)) {}  // NOLINT
  Key(const char* text) : Key(std::string_view(text)) {}         // NOLINT

  const std::string& str() const { return *text_; }
  operator std::string_view() const { return *text_; }  // NOLINT
  std::size_t size() const { return text_->size(); }

  bool operator==(const Key& other) const { return text_ == other.text_; }
  friend bool operator==(const Key& key, std::string_view text) { return *key.text_ == text; }
  friend bool operator==(const Key& key, const std::string& text) { return *key.text_ == text; }
  friend bool operator==(const Key& key, const char* text) { return *key.text_ == text; }
  // Keys order as their texts do.
  friend bool operator<(const Key& a, const Key& b) {
    return a.text_ != b.text_ && *a.text_ < *b.text_;
  }

 private:
  const std::string* text_;
};

}  // namespace halvane
