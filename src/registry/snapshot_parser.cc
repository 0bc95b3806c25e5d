#include "registry/snapshot_parser.h"

#include <rapidjson/reader.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace halvane {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kChunk = std::size_t{1} << 16;

// The text as RapidJSON reads it: a chunk at a time, as the source hands it over. A NUL byte ends
// the text where it stands (RapidJSON takes '\0' for the end anyway) and is noted, so is a failed
// read.
class FastStream {
 public:
  using Ch = char;
  explicit FastStream(TextSource& source) : source_(source) { Fill(); }

  Ch Peek() const { return *at_; }
  Ch Take() {
    const Ch c = *at_;
    if (at_ < last_) {
      ++at_;
    } else {
      Fill();
    }
    return c;
  }
  std::size_t Tell() const { return before_ + static_cast<std::size_t>(at_ - buffer_.data()); }
  // Never written to; RapidJSON's stream concept names these.
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }

  const Status& read_status() const { return read_status_; }
  bool nul() const { return nul_; }

 private:
  void Fill() {
    before_ += size_;
    std::size_t got = 0;
    if (!ended_ && !nul_) {
      StatusOr<std::size_t> read = source_.Read(buffer_.data(), kChunk);
      if (read.ok()) {
        got = *read;
      } else {
        read_status_ = read.status();
      }
      if (const void* nul = std::memchr(buffer_.data(), '\0', got)) {
        got = static_cast<std::size_t>(static_cast<const char*>(nul) - buffer_.data());
        nul_ = true;
      }
    }
    size_ = got;
    if (got == 0) {
      ended_ = true;
      buffer_[0] = '\0';  // what Peek answers from now on
      got = 1;
    }
    at_ = buffer_.data();
    last_ = buffer_.data() + got - 1;
  }

  TextSource& source_;
  std::vector<char> buffer_ = std::vector<char>(kChunk);
  const char* at_ = nullptr;
  const char* last_ = nullptr;
  std::size_t size_ = 0;    // bytes of the text in the buffer
  std::size_t before_ = 0;  // bytes of the text before them
  bool ended_ = false;
  bool nul_ = false;
  Status read_status_;
};

// RapidJSON's events, handed to the builder. What RapidJSON reads otherwise than nlohmann's
// parser stops the reading, to be read again by that parser.
class FastEvents {
 public:
  using Ch = char;
  explicit FastEvents(SnapshotBuilder& builder) : builder_(builder) {}

  bool Null() { return builder_.Null(); }
  bool Bool(bool v) { return builder_.Boolean(v); }
  // Numbers come as their text (kParseNumbersAsStringsFlag), and are read as nlohmann's parser
  // reads them: an integer as a 64-bit integer when it fits, otherwise, like a number with a
  // fraction or an exponent, by strtod.
  bool RawNumber(const Ch* text, rapidjson::SizeType length, bool) {
    const std::string_view number(text, length);
    if (number.find_first_of(".eE") == std::string_view::npos) {
      const char* end = number.data() + number.size();
      if (number[0] == '-') {
        std::int64_t v = 0;
        if (std::from_chars(number.data(), end, v).ec == std::errc()) return builder_.Integer(v);
      } else {
        std::uint64_t v = 0;
        if (std::from_chars(number.data(), end, v).ec == std::errc()) return builder_.Unsigned(v);
      }
    }
    // RapidJSON gives the text a terminating zero.
    const double v = std::strtod(text, nullptr);
    // An overflow's message names the number's place, which nlohmann's parser tells.
    if (!std::isfinite(v)) return Defer();
    return builder_.Float(v, number);
  }
  bool String(const Ch* text, rapidjson::SizeType length, bool) {
    if (EscapedSurrogate(text, length)) return Defer();
    return builder_.String(std::string_view(text, length));
  }
  bool Key(const Ch* text, rapidjson::SizeType length, bool) {
    if (EscapedSurrogate(text, length)) return Defer();
    return builder_.Key(std::string_view(text, length));
  }
  bool StartObject() { return builder_.StartObject(); }
  bool EndObject(rapidjson::SizeType) { return builder_.EndObject(); }
  bool StartArray() { return builder_.StartArray(); }
  bool EndArray(rapidjson::SizeType) { return builder_.EndArray(); }
  // Numbers never arrive as values.
  bool Int(int) { return Defer(); }
  bool Uint(unsigned) { return Defer(); }
  bool Int64(std::int64_t) { return Defer(); }
  bool Uint64(std::uint64_t) { return Defer(); }
  bool Double(double) { return Defer(); }

  // Whether the reading stopped for nlohmann's parser to read the text again.
  bool deferred() const { return deferred_; }

 private:
  bool Defer() {
    deferred_ = true;
    return false;
  }
  // RapidJSON takes a lone low surrogate (\uDC00 to \uDFFF) and writes it as UTF-8 (ED B0 to ED
  // BF), which nlohmann's parser refuses; the bytes ED A0 to ED BF come from nothing else, since
  // raw text in that range is refused as not UTF-8.
  static bool EscapedSurrogate(const Ch* text, std::size_t length) {
    for (const char* at = text; (at = static_cast<const char*>(std::memchr(
                                     at, '\xED', length - static_cast<std::size_t>(at - text))));
         ++at) {
      if (at + 1 < text + length && (static_cast<unsigned char>(at[1]) & 0xE0) == 0xA0) return true;
    }
    return false;
  }

  SnapshotBuilder& builder_;
  bool deferred_ = false;
};

// nlohmann's events, handed to the builder; where the parser refused the text is kept.
class AuthorityEvents {
 public:
  explicit AuthorityEvents(SnapshotBuilder& builder) : builder_(builder) {}

  bool null() { return builder_.Null(); }
  bool boolean(bool v) { return builder_.Boolean(v); }
  bool number_integer(std::int64_t v) { return builder_.Integer(v); }
  bool number_unsigned(std::uint64_t v) { return builder_.Unsigned(v); }
  bool number_float(double v, const std::string& text) { return builder_.Float(v, text); }
  bool string(std::string& v) { return builder_.String(v); }
  bool binary(Json::binary_t&) { return false; }  // never, in JSON text
  bool start_object(std::size_t) { return builder_.StartObject(); }
  bool key(std::string& k) { return builder_.Key(k); }
  bool end_object() { return builder_.EndObject(); }
  bool start_array(std::size_t) { return builder_.StartArray(); }
  bool end_array() { return builder_.EndArray(); }

  bool parse_error(std::size_t position, const std::string& last_token, const Json::exception& e) {
    refused_at_ = position;
    refused_token_ = last_token;
    // The parser's own errors are numbered below 200; what it read but could not represent (a
    // number out of any numeric type's range) above.
    number_out_of_range_ = e.id >= 200;
    return false;
  }

  // Where the parser refused the text: the number of bytes it had read, and what it read last.
  std::optional<std::size_t> refused_at() const { return refused_at_; }
  const std::string& refused_token() const { return refused_token_; }
  bool number_out_of_range() const { return number_out_of_range_; }

 private:
  SnapshotBuilder& builder_;
  std::optional<std::size_t> refused_at_;
  std::string refused_token_;
  bool number_out_of_range_ = false;
};

// The text as nlohmann's parser walks it: read a chunk at a time into one of two buffers, so that
// the chunk before the current one is still there when a fault near its end must be placed. The
// parser takes a character, compares its place with the end and steps on for every byte, so the
// iterator holds its place in the chunk itself and only a step off a chunk's end asks for the next
// one. A NUL byte ends the text where it stands (the parser would take it for the end anyway) and
// is noted, so is a failed read.
class ChunkedText {
 public:
  explicit ChunkedText(TextSource& source) : source_(source) {}

  // The next chunk as [*begin, *end); both null once the text has ended.
  void Advance(const char** begin, const char** end) {
    *begin = *end = nullptr;
    if (ended_) return;
    const Chunk& last = chunks_[current_];
    const std::size_t next = 1 - current_;
    Chunk& chunk = chunks_[next];
    chunk.start = last.start + last.size;
    chunk.lines_before = last.lines_before + Lines(last, last.size);
    chunk.line_start_before = LineStart(last, last.size);
    chunk.size = 0;
    current_ = next;
    // Chunks are filled whole, however the source hands its text over, so that the parser's
    // lookahead never reaches back past the chunk before.
    std::size_t got = 0;
    for (std::size_t more = 1; more > 0 && got < chunk.bytes.size(); got += more) {
      StatusOr<std::size_t> read = source_.Read(chunk.bytes.data() + got, chunk.bytes.size() - got);
      if (!read.ok()) {
        read_status_ = read.status();
        ended_ = true;
        return;
      }
      more = *read;
    }
    if (got == 0) {
      ended_ = true;
      return;
    }
    if (const void* nul = std::memchr(chunk.bytes.data(), '\0', got)) {
      got = static_cast<std::size_t>(static_cast<const char*>(nul) - chunk.bytes.data());
      nul_at_ = chunk.start + got;
      ended_ = true;
      if (got == 0) return;
    }
    chunk.size = got;
    *begin = chunk.bytes.data();
    *end = chunk.bytes.data() + got;
  }

  const Status& read_status() const { return read_status_; }
  // The byte at offset, in the current chunk or the one before it; nothing at the end of the text.
  std::optional<char> ByteAt(std::size_t offset) const {
    for (const Chunk& chunk : chunks_) {
      if (offset >= chunk.start && offset < chunk.start + chunk.size)
        return chunk.bytes[offset - chunk.start];
    }
    return std::nullopt;
  }
  std::optional<std::size_t> nul_at() const { return nul_at_; }

  // A byte offset as "line L, column C", both counted from 1, for an offset in the current chunk
  // or the one before it (or at the end of the text).
  std::string Place(std::size_t offset) const {
    const Chunk& current = chunks_[current_];
    const Chunk& chunk = offset >= current.start ? current : chunks_[1 - current_];
    const std::size_t in_chunk = std::min(offset - std::min(offset, chunk.start), chunk.size);
    const std::size_t line = chunk.lines_before + Lines(chunk, in_chunk) + 1;
    const std::size_t column = chunk.start + in_chunk - LineStart(chunk, in_chunk) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
  }

 private:
  struct Chunk {
    std::vector<char> bytes = std::vector<char>(kChunk);
    std::size_t start = 0;              // offset of its first byte in the text
    std::size_t size = 0;               // bytes held
    std::size_t lines_before = 0;       // line ends before it
    std::size_t line_start_before = 0;  // offset where the line running into it starts
  };
  // The line ends among the first n bytes of chunk, and where the line running after them starts.
  static std::size_t Lines(const Chunk& chunk, std::size_t n) {
    return static_cast<std::size_t>(std::count(chunk.bytes.begin(), chunk.bytes.begin() + n, '\n'));
  }
  static std::size_t LineStart(const Chunk& chunk, std::size_t n) {
    const auto first = chunk.bytes.begin();
    const auto last_end =
        std::find(std::make_reverse_iterator(first + n), std::make_reverse_iterator(first), '\n');
    if (last_end == std::make_reverse_iterator(first)) return chunk.line_start_before;
    return chunk.start + static_cast<std::size_t>(last_end.base() - first);
  }

  TextSource& source_;
  std::array<Chunk, 2> chunks_;
  std::size_t current_ = 0;
  bool ended_ = false;
  Status read_status_;
  std::optional<std::size_t> nul_at_;
};

class ChunkIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ChunkIterator() = default;  // the end of the text
  explicit ChunkIterator(ChunkedText* text) : text_(text) { text_->Advance(&at_, &limit_); }
  reference operator*() const { return *at_; }
  ChunkIterator& operator++() {
    if (++at_ == limit_) text_->Advance(&at_, &limit_);
    return *this;
  }
  // Only the end is ever compared with: a place is null once the text has ended.
  bool operator==(const ChunkIterator& other) const { return at_ == other.at_; }

 private:
  ChunkedText* text_ = nullptr;
  const char* at_ = nullptr;
  const char* limit_ = nullptr;
};

// A byte of the text for a message: printable ASCII as itself, anything else as \xHH.
std::string Describe(std::optional<char> byte) {
  if (!byte) return "end of input";
  const auto value = static_cast<unsigned char>(*byte);
  if (value >= 0x20 && value < 0x7F) return std::string("'") + *byte + "'";
  std::string text = "'\\x";
  AppendHex(text, std::span(&value, 1));
  return text + "'";
}

// The fast reading: the content, a refusal, or nothing when nlohmann's parser must read the text.
std::optional<StatusOr<SnapshotContent>> ReadFast(TextSource& source) {
  SnapshotContent content{std::make_unique<SnapshotTree>(), {}, {}};
  SnapshotBuilder builder(*content.tree);
  FastStream stream(source);
  FastEvents events(builder);
  rapidjson::Reader reader;
  constexpr unsigned kFlags =
      rapidjson::kParseValidateEncodingFlag | rapidjson::kParseNumbersAsStringsFlag;
  const bool parsed = !reader.Parse<kFlags>(stream, events).IsError();
  if (!stream.read_status().ok()) return stream.read_status();
  if (parsed && !stream.nul()) {
    if (Status finished = builder.Finish(content.classes, content.captured); !finished.ok())
      return finished;
    return content;
  }
  if (!parsed && !events.deferred() && !builder.error().empty())
    return Status::Error(kIoError, builder.error());
  return std::nullopt;
}

StatusOr<SnapshotContent> ReadAuthoritatively(TextSource& source) {
  SnapshotContent content{std::make_unique<SnapshotTree>(), {}, {}};
  SnapshotBuilder builder(*content.tree);
  ChunkedText text(source);
  AuthorityEvents events(builder);
  const bool parsed = Json::sax_parse(ChunkIterator(&text), ChunkIterator(), &events);
  if (!text.read_status().ok()) return text.read_status();
  const std::optional<std::size_t> nul = text.nul_at();
  const std::optional<std::size_t> refused = events.refused_at();
  // The parser counts the byte it stopped on as read.
  const std::size_t refused_offset = refused && *refused > 0 ? *refused - 1 : 0;
  if (nul && (parsed || (refused && refused_offset >= *nul))) {
    // Whatever follows a NUL would be lost at the next save.
    return Status::Error(kIoError, "syntax error at " + text.Place(*nul) + ": a NUL byte");
  }
  if (!parsed) {
    if (!refused) {
      return Status::Error(
          kIoError, builder.error().empty() ? "the document cannot be read" : builder.error());
    }
    if (events.number_out_of_range()) {
      // The parser has read the whole number, which is what it hands over.
      const std::string& number = events.refused_token();
      return Status::Error(kIoError, "number out of range at " +
                                         text.Place(*refused - std::min(*refused, number.size())) +
                                         ": " + number.substr(0, 40));
    }
    return Status::Error(kIoError, "syntax error at " + text.Place(refused_offset) +
                                       ": unexpected " + Describe(text.ByteAt(refused_offset)));
  }
  if (Status finished = builder.Finish(content.classes, content.captured); !finished.ok())
    return finished;
  return content;
}

}  // namespace

Status TextSource::Rewind() { return Status::Error(kIoError, "the text cannot be read again"); }

StatusOr<SnapshotContent> ParseSnapshotText(TextSource& source) {
  if (std::optional<StatusOr<SnapshotContent>> fast = ReadFast(source)) return std::move(*fast);
  if (Status rewound = source.Rewind(); !rewound.ok()) return rewound;
  return ReadAuthoritatively(source);
}

}  // namespace halvane
