#include "registry/snapshot_parser.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "registry/recent_values.h"

namespace halvane {
namespace {

using Json = nlohmann::json;

constexpr char kDataKey[] = "$data";

// Builds registry values straight from the parser's events, with no intermediate document: an
// object becomes a Dictionary (a key given twice is refused when it is inserted), an object whose
// only key is "$data" becomes Data, null is refused where it stands. The place of a fault is kept
// as a path of keys and indices, written out only when there is a fault.
class ValueBuilder {
 public:
  std::optional<PropertyValue> TakeResult() { return std::move(result_); }
  const std::string& error() const { return error_; }
  // Where the parser refused the text: the number of bytes it had read, and what it read last.
  std::optional<std::size_t> refused_at() const { return refused_at_; }
  const std::string& refused_token() const { return refused_token_; }
  bool number_out_of_range() const { return number_out_of_range_; }
  // How many containers deep the document nests at its deepest.
  std::size_t deepest() const { return deepest_; }

  bool null() { return Fail(Path() + " is null"); }
  bool boolean(bool v) { return Add(PropertyValue::Boolean(v)); }
  bool number_integer(std::int64_t v) { return Add(recent_.Integer(v)); }
  bool number_unsigned(std::uint64_t v) { return Add(recent_.Unsigned(v)); }
  bool number_float(double v, const std::string& text) {
    // An integer too wide for 64 bits arrives here too; as a floating-point value it would be
    // saved back rounded, so it is refused instead.
    if (text.find_first_of(".eE") == std::string::npos)
      return Fail(Path() + " is an integer wider than 64 bits");
    return Add(PropertyValue::OfNumber(Number::FromDouble(v)));
  }
  bool string(std::string& v) {
    if (depth_ > 0 && Top().is_object && Top().key == data_key_) {
      // A "$data" member is nearly always its object's only member, and the object becomes
      // Data: its text is kept aside until the object ends rather than made a String first.
      Frame& top = Top();
      SettleData(top);
      top.data_text.assign(v);
      top.data_member = top.members.size();
      top.members.emplace_back(data_key_, placeholder_);
      return true;
    }
    return Add(recent_.String(v));
  }
  bool binary(Json::binary_t&) { return Fail(Path() + " is not a value a registry can hold"); }

  bool start_object(std::size_t) { return Open(true); }
  bool key(std::string& k) {
    Top().key = keys_.Get(k);
    return true;
  }
  bool end_object() {
    Frame& frame = Top();
    if (frame.members.size() == 1 && frame.members[0].first == data_key_) {
      const std::string* text =
          frame.data_member == kNoMember ? frame.members[0].second.AsString() : &frame.data_text;
      StatusOr<Data> bytes = text ? ParseHexBytes(*text, kDataForm)
                                  : StatusOr<Data>(Status::Error(kBadArgument, "not a text"));
      if (!bytes.ok()) {
        frame.key.reset();  // the frame stays, so that the path names this object
        return Fail(Path() + " has a \"$data\" that is not pairs of hexadecimal digits");
      }
      --depth_;
      return Add(recent_.OfData(std::move(*bytes)));
    }
    SettleData(frame);
    // The frame's buffer is kept for the next object at this depth; the Dictionary gets a block
    // of exactly its size.
    std::vector<Dictionary::value_type> items(std::make_move_iterator(frame.members.begin()),
                                              std::make_move_iterator(frame.members.end()));
    --depth_;
    StatusOr<Dictionary> members = Dictionary::FromItems(std::move(items));
    if (!members.ok()) return Fail(members.status().message());
    return Add(PropertyValue::OfDictionary(std::move(*members)));
  }
  bool start_array(std::size_t) { return Open(false); }
  bool end_array() {
    Frame& frame = Top();
    Array items(std::make_move_iterator(frame.items.begin()),
                std::make_move_iterator(frame.items.end()));
    --depth_;
    return Add(PropertyValue::OfArray(std::move(items)));
  }

  bool parse_error(std::size_t position, const std::string& last_token, const Json::exception& e) {
    refused_at_ = position;
    refused_token_ = last_token;
    // The parser's own errors are numbered below 200; what it read but could not represent (a
    // number out of any numeric type's range) above.
    number_out_of_range_ = e.id >= 200;
    return false;
  }

 private:
  static constexpr std::size_t kNoMember = static_cast<std::size_t>(-1);
  struct Frame {
    bool is_object = false;
    std::string name;        // where this container stands in its parent, as a path step
    std::optional<Key> key;  // objects: the key of the member being read
    // Objects: a "$data" member's text, kept aside, and where the member stands.
    std::string data_text;
    std::size_t data_member = kNoMember;
    // Members as they arrive; sorted into a Dictionary once the object ends, so that a large
    // object costs O(n log n) in any key order.
    std::vector<Dictionary::value_type> members;
    Array items;
  };

  // Makes a "$data" text kept aside an ordinary String member of its object.
  void SettleData(Frame& frame) {
    if (frame.data_member == kNoMember) return;
    frame.members[frame.data_member].second = recent_.String(frame.data_text);
    frame.data_member = kNoMember;
  }

  bool Fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
    return false;
  }

  // The path of the value being read: "root.children[0].properties.k".
  std::string Path() const {
    std::string path;
    for (std::size_t i = 0; i < depth_; ++i) path += frames_[i].name;
    if (depth_ > 0) path += NextStep(frames_[depth_ - 1]);
    if (!path.empty() && path[0] == '.') path.erase(0, 1);
    return path.empty() ? "the document" : path;
  }
  static std::string NextStep(const Frame& f) {
    std::string step;
    if (!f.is_object) {
      step.append("[").append(std::to_string(f.items.size())).append("]");
    } else if (f.key && f.key->size() > 0) {
      step.append(".").append(f.key->str());
    }
    return step;
  }

  bool Open(bool is_object) {
    // Containers nest on the heap here, but values are released recursively: bound the depth.
    if (depth_ >= kMaxJsonDepth) {
      return Fail(Path() + " is nested deeper than " + std::to_string(kMaxJsonDepth) + " levels");
    }
    // Frames are reused, buffers and all, by the containers that open at the same depth later.
    if (depth_ == frames_.size()) frames_.emplace_back();
    Frame& frame = frames_[depth_];
    frame.is_object = is_object;
    if (depth_ == 0) {
      frame.name.clear();
    } else {
      frame.name = NextStep(frames_[depth_ - 1]);
    }
    frame.key.reset();
    frame.members.clear();
    frame.items.clear();
    frame.data_member = kNoMember;
    ++depth_;
    deepest_ = std::max(deepest_, depth_);
    return true;
  }

  Frame& Top() { return frames_[depth_ - 1]; }

  bool Add(PropertyValue value) {
    if (depth_ == 0) {
      result_ = std::move(value);
      return true;
    }
    Frame& top = Top();
    if (!top.is_object) {
      top.items.push_back(std::move(value));
      return true;
    }
    top.members.emplace_back(*top.key, std::move(value));
    return true;
  }

  // Entries nest two JSON levels each (an entry, its children array) below the document, and a
  // property value may nest as deep again.
  static constexpr std::size_t kMaxJsonDepth = 2 * kMaxSnapshotDepth + kMaxSnapshotDepth + 8;

  std::vector<Frame> frames_;  // the first depth_ are open
  std::size_t depth_ = 0;
  std::size_t deepest_ = 0;
  RecentValues recent_;
  RecentKeys keys_;
  const Key data_key_{kDataKey};
  // Stands for a "$data" text kept aside until it is settled.
  const PropertyValue placeholder_ = PropertyValue::Boolean(false);
  std::optional<PropertyValue> result_;
  std::string error_;
  std::optional<std::size_t> refused_at_;
  std::string refused_token_;
  bool number_out_of_range_ = false;
};

// The text as the parser walks it: read a chunk at a time into one of two buffers, so that the
// chunk before the current one is still there when a fault near its end must be placed. The
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
    std::vector<char> bytes = std::vector<char>(1 << 16);
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

}  // namespace

StatusOr<SnapshotDocument> ParseSnapshotDocument(TextSource& source) {
  ChunkedText text(source);
  ValueBuilder builder;
  const bool parsed = Json::sax_parse(ChunkIterator(&text), ChunkIterator(), &builder);
  if (!text.read_status().ok()) return text.read_status();
  const std::optional<std::size_t> nul = text.nul_at();
  const std::optional<std::size_t> refused = builder.refused_at();
  // The parser counts the byte it stopped on as read.
  const std::size_t refused_offset = refused && *refused > 0 ? *refused - 1 : 0;
  if (nul && (parsed || (refused && refused_offset >= *nul))) {
    // Whatever follows a NUL would be lost at the next save.
    return Status::Error(kIoError, "syntax error at " + text.Place(*nul) + ": a NUL byte");
  }
  if (!parsed) {
    if (!refused) return Status::Error(kIoError, builder.error());
    if (builder.number_out_of_range()) {
      // The parser has read the whole number, which is what it hands over.
      const std::string& number = builder.refused_token();
      return Status::Error(kIoError, "number out of range at " +
                                         text.Place(*refused - std::min(*refused, number.size())) +
                                         ": " + number.substr(0, 40));
    }
    return Status::Error(kIoError, "syntax error at " + text.Place(refused_offset) +
                                       ": unexpected " + Describe(text.ByteAt(refused_offset)));
  }
  std::optional<PropertyValue> value = builder.TakeResult();
  if (!value) return Status::Error(kIoError, "the document is empty");
  return SnapshotDocument{std::move(*value), builder.deepest()};
}

}  // namespace halvane
