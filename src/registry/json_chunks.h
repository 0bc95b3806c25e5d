// JSON text read a chunk at a time and handed to a receiver of the parser's events, so that a
// large text is never held whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace halvane {

// The parser's events, one call each, as nlohmann::json::sax_parse makes them; each answers
// whether to go on.
class JsonEvents {
 public:
  virtual ~JsonEvents() = default;
  virtual bool null() = 0;
  virtual bool boolean(bool v) = 0;
  virtual bool number_integer(std::int64_t v) = 0;
  virtual bool number_unsigned(std::uint64_t v) = 0;
  virtual bool number_float(double v, const std::string& text) = 0;
  virtual bool string(std::string& v) = 0;
  virtual bool binary(nlohmann::json::binary_t& v) = 0;
  virtual bool start_object(std::size_t size) = 0;
  virtual bool key(std::string& k) = 0;
  virtual bool end_object() = 0;
  virtual bool start_array(std::size_t size) = 0;
  virtual bool end_array() = 0;
  virtual bool parse_error(std::size_t position, const std::string& token,
                           const nlohmann::detail::exception& e) = 0;
};

// Parses the text that read gives (how many bytes it put in its buffer, 0 at the end, -1 when
// it cannot) into events. True when the text was read to its end, holds no NUL byte, is one
// JSON document and events took every event; false otherwise, when events may have seen only
// part of the text and parse_error may not have been called. The text is lexed on a second
// thread while events are handled on this one, when a thread can be started.
bool ParseJsonChunks(const std::function<std::ptrdiff_t(char*, std::size_t)>& read,
                     JsonEvents* events);

}  // namespace halvane
