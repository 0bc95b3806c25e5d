// Times the JSON parsers a snapshot loader could stand on, over one file, each alone in its own
// process (the peak memory of one must not count in another's), building nothing: each walks the
// whole document and counts its values, which is the least any loader does.
//
//   g++ -O2 -std=c++20 bench/parse-candidates.cc -o /tmp/parse-candidates -lsimdjson
//   /usr/bin/time -f '%e s %M KiB' /tmp/parse-candidates nlohmann-sax FILE
//
// Candidates: nlohmann-sax (events, the file read 64 KiB at a time), rapidjson-sax (the same
// with RapidJSON's Reader), simdjson-dom (the whole document parsed into simdjson's tape) and
// simdjson-ondemand (the whole file in memory, walked value by value).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <rapidjson/reader.h>
#include <simdjson.h>
#include <nlohmann/json.hpp>

namespace {

std::size_t g_values = 0;

// nlohmann: the file's bytes as an input iterator, 64 KiB at a time.
struct Chunks {
  int fd;
  std::vector<char> buffer = std::vector<char>(1 << 16);
  const char* at = nullptr;
  const char* end = nullptr;
  void Fill() {
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    at = n > 0 ? buffer.data() : nullptr;
    end = n > 0 ? buffer.data() + n : nullptr;
  }
};
struct ChunkIterator {
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;
  Chunks* chunks = nullptr;
  const char* at = nullptr;
  reference operator*() const { return *at; }
  ChunkIterator& operator++() {
    if (++at == chunks->end) {
      chunks->Fill();
      at = chunks->at;
    }
    return *this;
  }
  bool operator==(const ChunkIterator& o) const { return at == o.at; }
};

struct NlohmannCounter : nlohmann::json_sax<nlohmann::json> {
  bool null() override { return ++g_values; }
  bool boolean(bool) override { return ++g_values; }
  bool number_integer(std::int64_t) override { return ++g_values; }
  bool number_unsigned(std::uint64_t) override { return ++g_values; }
  bool number_float(double, const std::string&) override { return ++g_values; }
  bool string(std::string&) override { return ++g_values; }
  bool binary(nlohmann::json::binary_t&) override { return ++g_values; }
  bool start_object(std::size_t) override { return ++g_values; }
  bool key(std::string&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return ++g_values; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::json::exception&) override {
    return false;
  }
};

struct RapidCounter : rapidjson::BaseReaderHandler<rapidjson::UTF8<>, RapidCounter> {
  bool Default() { return ++g_values; }
  bool Key(const char*, rapidjson::SizeType, bool) { return true; }
  bool EndObject(rapidjson::SizeType) { return true; }
  bool EndArray(rapidjson::SizeType) { return true; }
};

// RapidJSON's stream concept over the file, 64 KiB at a time.
struct RapidStream {
  using Ch = char;
  int fd;
  std::vector<char> buffer = std::vector<char>(1 << 16);
  const char* at = buffer.data();
  const char* end = buffer.data();
  std::size_t before = 0;
  bool eof = false;
  void Fill() {
    before += static_cast<std::size_t>(end - buffer.data());
    const ssize_t n = eof ? 0 : read(fd, buffer.data(), buffer.size());
    at = buffer.data();
    end = buffer.data() + (n > 0 ? n : 0);
    if (n <= 0) eof = true;
  }
  Ch Peek() {
    if (at == end) Fill();
    return at == end ? '\0' : *at;
  }
  Ch Take() {
    const Ch c = Peek();
    if (at != end) ++at;
    return c;
  }
  std::size_t Tell() const { return before + static_cast<std::size_t>(at - buffer.data()); }
  Ch* PutBegin() { return nullptr; }
  void Put(Ch) {}
  void Flush() {}
  std::size_t PutEnd(Ch*) { return 0; }
};

void Walk(simdjson::ondemand::value value) {
  ++g_values;
  switch (value.type()) {
    case simdjson::ondemand::json_type::object:
      for (auto field : value.get_object()) {
        (void)field.unescaped_key();
        Walk(field.value());
      }
      break;
    case simdjson::ondemand::json_type::array:
      for (auto item : value.get_array()) Walk(item.value());
      break;
    case simdjson::ondemand::json_type::string:
      (void)value.get_string();
      break;
    case simdjson::ondemand::json_type::number:
      if (value.get_number().error() != simdjson::SUCCESS) std::abort();
      break;
    case simdjson::ondemand::json_type::boolean:
      (void)value.get_bool();
      break;
    case simdjson::ondemand::json_type::null:
      break;
  }
}

void Count(simdjson::dom::element e) {
  ++g_values;
  if (e.is_object()) {
    for (auto field : e.get_object()) Count(field.value);
  } else if (e.is_array()) {
    for (auto item : e.get_array()) Count(item);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr,
                 "usage: %s nlohmann-sax|rapidjson-sax|simdjson-dom|simdjson-ondemand FILE\n",
                 argv[0]);
    return 2;
  }
  const std::string_view which = argv[1];
  const int fd = open(argv[2], O_RDONLY);
  if (fd < 0) return perror(argv[2]), 1;
  bool ok = false;
  if (which == "nlohmann-sax") {
    Chunks chunks{fd};
    chunks.Fill();
    NlohmannCounter counter;
    ok = nlohmann::json::sax_parse(ChunkIterator{&chunks, chunks.at}, ChunkIterator{}, &counter);
  } else if (which == "rapidjson-sax") {
    RapidStream stream{fd};
    RapidCounter counter;
    rapidjson::Reader reader;
    ok = !reader
              .Parse<rapidjson::kParseValidateEncodingFlag | rapidjson::kParseFullPrecisionFlag>(
                  stream, counter)
              .IsError();
  } else if (which == "simdjson-dom") {
    simdjson::dom::parser parser;
    auto doc = parser.load(argv[2]);
    ok = !doc.error();
    if (ok) Count(doc.value());
  } else if (which == "simdjson-ondemand") {
    auto text = simdjson::padded_string::load(argv[2]);
    simdjson::ondemand::parser parser;
    auto doc = parser.iterate(text.value());
    Walk(doc.get_value().value());
    ok = true;
  }
  std::printf("%s: %s, %zu values\n", argv[1], ok ? "parsed" : "refused", g_values);
  return ok ? 0 : 1;
}
