#include "host/fd_output.h"

#include <cstring>

#include "base/file_io.h"

namespace halvane {

FdOutput::FdOutput(int fd, std::size_t capacity) : fd_(fd), buffer_(capacity) {
  setp(buffer_.data(), buffer_.data() + buffer_.size());
}

FdOutput::~FdOutput() { (void)Flush(); }

Status FdOutput::WriteAll(const char* data, std::size_t size) {
  if (error_.ok())
    error_ = halvane::WriteAll(fd_, std::string_view(data, size), ShortWrite::kContinue);
  return error_;
}

Status FdOutput::Flush() {
  const auto pending = static_cast<std::size_t>(pptr() - pbase());
  Status written = WriteAll(pbase(), pending);
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return written;
}

void FdOutput::Discard() { setp(buffer_.data(), buffer_.data() + buffer_.size()); }

FdOutput::int_type FdOutput::overflow(int_type ch) {
  if (!Flush().ok()) return traits_type::eof();
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
  if (!Flush().ok()) return 0;
  if (size >= buffer_.size()) return WriteAll(s, size).ok() ? n : 0;
  std::memcpy(pptr(), s, size);
  pbump(static_cast<int>(n));
  return n;
}

}  // namespace halvane
