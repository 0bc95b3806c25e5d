#include "registry/json_chunks.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <iterator>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace halvane {
namespace {

// A text read chunk by chunk and walked once from its start by the parser. The parser takes a
// character, compares its place with the end and steps on for every byte of the file, so the
// iterator holds the place in the chunk itself and only a step off the chunk's end calls back to
// the reader. A NUL byte anywhere, or a failed read, ends the text early and is noted.
class ChunkReader {
 public:
  explicit ChunkReader(const std::function<std::ptrdiff_t(char*, std::size_t)>& read)
      : read_(read), buffer_(kChunk) {}
  // The next chunk as [*begin, *end), or false (and both null) once the text has ended.
  bool Fill(const char** begin, const char** end) {
    *begin = *end = nullptr;
    if (stopped_) return false;
    const std::ptrdiff_t n = read_(buffer_.data(), buffer_.size());
    if (n < 0 || std::memchr(buffer_.data(), '\0', static_cast<std::size_t>(n)) != nullptr) {
      stopped_ = true;
      return false;
    }
    if (n == 0) return false;
    *begin = buffer_.data();
    *end = buffer_.data() + n;
    return true;
  }
  // Whether the text was read to its end and holds no NUL byte.
  bool whole() const { return !stopped_; }

 private:
  static constexpr std::size_t kChunk = 1 << 16;
  const std::function<std::ptrdiff_t(char*, std::size_t)>& read_;
  std::vector<char> buffer_;
  bool stopped_ = false;
};

class ChunkIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  ChunkIterator() = default;  // the end of the text
  explicit ChunkIterator(ChunkReader* reader) : reader_(reader) { reader_->Fill(&at_, &limit_); }
  reference operator*() const { return *at_; }
  ChunkIterator& operator++() {
    if (++at_ == limit_) reader_->Fill(&at_, &limit_);
    return *this;
  }
  // Only the end is ever compared with: a place is null once the text has ended.
  bool operator==(const ChunkIterator& other) const { return at_ == other.at_; }
  bool operator!=(const ChunkIterator& other) const { return at_ != other.at_; }

 private:
  ChunkReader* reader_ = nullptr;
  const char* at_ = nullptr;
  const char* limit_ = nullptr;
};

// Lexing a large text costs about as much as handling its events does (a snapshot's events
// become registry values), so the text is read and lexed on a second thread while this one
// handles the events: the lexing thread records them in blocks of bytes and this one replays
// them. A refusal on either side stops both; a caller that must say where a text is wrong
// parses it again whole, so nothing here needs to know.
class EventBlocks {
 public:
  // Lexing side: hands a full block over, waiting while enough are queued. Answers false once
  // the handling side has stopped.
  bool Push(std::string* block) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || queued_.size() < kMostQueued; });
    if (stopped_) return false;
    queued_.push_back(std::move(*block));
    block->clear();
    if (!spare_.empty()) {
      block->swap(spare_.back());  // a recycled block keeps its capacity
      spare_.pop_back();
    }
    changed_.notify_all();
    return true;
  }
  // Lexing side: the text has ended, as a whole document or not.
  void Finish(bool whole) {
    const std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    whole_ = whole;
    changed_.notify_all();
  }
  // Handling side: the next block, or false once the lexing side has finished and all are
  // taken. The block given back is kept for the lexing side to fill again.
  bool Pop(std::string* block) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!block->empty()) {
      block->clear();
      spare_.push_back(std::move(*block));
    }
    changed_.wait(lock, [this] { return finished_ || !queued_.empty(); });
    if (queued_.empty()) return false;
    *block = std::move(queued_.front());
    queued_.pop_front();
    changed_.notify_all();
    return true;
  }
  // Handling side: no more blocks are wanted.
  void Stop() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    changed_.notify_all();
  }
  bool whole() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return whole_;
  }

 private:
  static constexpr std::size_t kMostQueued = 8;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queued_;
  std::vector<std::string> spare_;
  bool finished_ = false;
  bool whole_ = false;
  bool stopped_ = false;
};

enum class Event : char {
  kNull,
  kFalse,
  kTrue,
  kInteger,
  kUnsigned,
  kFloat,
  kString,
  kKey,
  kStartObject,
  kEndObject,
  kStartArray,
  kEndArray
};

// The parser's events as bytes: a tag, then a number's 8 bytes or a text's length and bytes.
class EventRecorder {
 public:
  explicit EventRecorder(EventBlocks* blocks) : blocks_(blocks) { block_.reserve(kBlock + 256); }

  bool null() { return Tag(Event::kNull); }
  bool boolean(bool v) { return Tag(v ? Event::kTrue : Event::kFalse); }
  bool number_integer(std::int64_t v) { return Tag(Event::kInteger) && Raw(v); }
  bool number_unsigned(std::uint64_t v) { return Tag(Event::kUnsigned) && Raw(v); }
  bool number_float(double v, const std::string& text) {
    return Tag(Event::kFloat) && Raw(v) && Text(text);
  }
  bool string(std::string& v) { return Tag(Event::kString) && Text(v); }
  bool key(std::string& k) { return Tag(Event::kKey) && Text(k); }
  bool binary(nlohmann::json::binary_t&) { return false; }  // JSON text has none
  bool start_object(std::size_t) { return Tag(Event::kStartObject); }
  bool end_object() { return Tag(Event::kEndObject); }
  bool start_array(std::size_t) { return Tag(Event::kStartArray); }
  bool end_array() { return Tag(Event::kEndArray); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  // Hands over what is recorded; false once the handling side has stopped.
  bool Flush() { return block_.empty() || blocks_->Push(&block_); }

 private:
  static constexpr std::size_t kBlock = 1 << 16;
  // A block is handed over before an event that would start past its size, so that no event
  // is split between blocks.
  bool Tag(Event event) {
    if (block_.size() >= kBlock && !Flush()) return false;
    block_.push_back(static_cast<char>(event));
    return true;
  }
  template <typename T>
  bool Raw(T v) {
    block_.append(reinterpret_cast<const char*>(&v), sizeof v);
    return true;
  }
  bool Text(const std::string& text) {
    Raw(text.size());
    block_.append(text);
    return true;
  }

  EventBlocks* blocks_;
  std::string block_;
};

// Replays a block of recorded events; false as soon as one is refused.
class EventReplayer {
 public:
  explicit EventReplayer(JsonEvents* events) : events_(events) {}

  bool Replay(const std::string& block) {
    at_ = block.data();
    const char* const end = at_ + block.size();
    while (at_ < end) {
      const auto event = static_cast<Event>(*at_++);
      if (!Dispatch(event)) return false;
    }
    return true;
  }

 private:
  bool Dispatch(Event event) {
    switch (event) {
      case Event::kNull:
        return events_->null();
      case Event::kFalse:
        return events_->boolean(false);
      case Event::kTrue:
        return events_->boolean(true);
      case Event::kInteger:
        return events_->number_integer(Raw<std::int64_t>());
      case Event::kUnsigned:
        return events_->number_unsigned(Raw<std::uint64_t>());
      case Event::kFloat: {
        const auto v = Raw<double>();
        return events_->number_float(v, Text());
      }
      case Event::kString:
        return events_->string(Text());
      case Event::kKey:
        return events_->key(Text());
      case Event::kStartObject:
        return events_->start_object(0);
      case Event::kEndObject:
        return events_->end_object();
      case Event::kStartArray:
        return events_->start_array(0);
      case Event::kEndArray:
        return events_->end_array();
    }
    return false;
  }
  template <typename T>
  T Raw() {
    T v;
    std::memcpy(&v, at_, sizeof v);
    at_ += sizeof v;
    return v;
  }
  std::string& Text() {
    const auto size = Raw<std::size_t>();
    text_.assign(at_, size);
    at_ += size;
    return text_;
  }

  JsonEvents* events_;
  const char* at_ = nullptr;
  std::string text_;
};

// Lexes on a second thread and handles the events here. Answers nothing when no thread could
// be started (nothing has been read then).
std::optional<bool> ParseAlongside(const std::function<std::ptrdiff_t(char*, std::size_t)>& read,
                                   JsonEvents* events) {
  EventBlocks blocks;
  std::thread lexer;
  try {
    lexer = std::thread([&read, &blocks] {
      bool whole = false;
      try {
        ChunkReader reader(read);
        EventRecorder recorder(&blocks);
        whole = nlohmann::json::sax_parse(ChunkIterator(&reader), ChunkIterator(), &recorder) &&
                recorder.Flush() && reader.whole();
      } catch (const std::exception&) {
        whole = false;  // out of memory: refused like a text that is not whole
      }
      blocks.Finish(whole);
    });
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  EventReplayer replayer(events);
  bool taken = true;
  std::string block;
  while (taken && blocks.Pop(&block)) taken = replayer.Replay(block);
  blocks.Stop();
  lexer.join();
  return taken && blocks.whole();
}

}  // namespace

bool ParseJsonChunks(const std::function<std::ptrdiff_t(char*, std::size_t)>& read,
                     JsonEvents* events) {
  if (const std::optional<bool> parsed = ParseAlongside(read, events)) return *parsed;
  // No second thread to be had: lex here, as the text is read.
  ChunkReader reader(read);
  return nlohmann::json::sax_parse(ChunkIterator(&reader), ChunkIterator(), events) &&
         reader.whole();
}

}  // namespace halvane
