#include "host/fd_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "registry/file_io.h"

namespace halvane {

FdOutput::FdOutput(int fd, std::size_t capacity) : fd_(fd), buffer_(capacity) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

FdOutput::~FdOutput() { Flush(); }

bool FdOutput::WriteAll(const char* data, std::size_t size) {
  if (error_ == 0)
    error_ = halvane::WriteAll(fd_, std::string_view(data, size), ShortWrite::kContinue);
  return error_ == 0;
}

bool FdOutput::Flush() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  const bool ok = WriteAll(pbase(), pending);
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return ok;
}

void FdOutput::Discard() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

FdOutput::int_type FdOutput::overflow(int_type ch) {
  if (!Flush()) return traits_type::eof();
  if (!traits_type::eq_int_type(ch, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(ch);
    pbump(1);
  }
  return traits_type::not_eof(ch);
}

std::streamsize FdOutput::xsputn(const char* s, std::streamsize n) {
  const auto size = static_cast<std::size_t>(n);
  if (size <= static_cast<std::size_t>(epptr() - pptr())) {
    std::memcpy(pptr(), s, size);
    pbump(static_cast<int>(n));
    return n;
  }
  if (!Flush()) return 0;
  if (size >= buffer_.size()) return WriteAll(s, size) ? n : 0;
  std::memcpy(pptr(), s, size);
  pbump(static_cast<int>(n));
  return n;
}

}  // namespace halvane
