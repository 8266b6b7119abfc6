// Reads with read(2) into one growing buffer: no stream sits between the input and the reader,
// and a line is handed out as a view into the buffer, never copied.
#include "line_input.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <quillon/monitoring/snapshot.hpp>

namespace Quillon::Tools::State {
namespace {

// Large enough that a document per read costs one system call per many lines.
constexpr std::size_t kInitialCapacity = std::size_t{1} << 20;

std::string cause(int error) {
  std::string text = std::generic_category().message(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

}  // namespace

LineReader::LineReader(std::string path) : path_(std::move(path)) {
  if (path_ == kStandardInputName) {
    fd_ = STDIN_FILENO;
  } else {
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      throw std::runtime_error("cannot open " + path_ + ": " + cause(errno));
    }
  }
  // A directory opens; its first read fails with the cause that the message then names.
  struct stat status {};
  if (::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode)) {
    size_ = static_cast<std::uint64_t>(status.st_size);
  }
}

LineReader::~LineReader() {
  if (fd_ != STDIN_FILENO) {
    ::close(fd_);
  }
}

bool LineReader::fill() {
  if (begin_ > 0) {
    // Only the unfinished line moves; everything before it was handed out already.
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    scan_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    const std::size_t capacity = capacity_ == 0 ? kInitialCapacity : capacity_ * 2;
    auto grown = std::make_unique_for_overwrite<char[]>(capacity);
    if (end_ > 0) {
      std::memcpy(grown.get(), buffer_.get(), end_);
    }
    buffer_ = std::move(grown);
    capacity_ = capacity;
  }
  for (;;) {
    const ::ssize_t count = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
    if (count > 0) {
      end_ += static_cast<std::size_t>(count);
      bytes_read_ += static_cast<std::uint64_t>(count);
      return true;
    }
    if (count == 0) {
      return false;
    }
    if (errno != EINTR) {
      throw std::runtime_error("cannot read " + path_ + ": " + cause(errno));
    }
  }
}

std::optional<std::string_view> LineReader::next() {
  for (;;) {
    const char* base = buffer_.get();
    if (scan_ < end_) {
      const void* feed = std::memchr(base + scan_, '\n', end_ - scan_);
      if (feed != nullptr) {
        const auto stop = static_cast<std::size_t>(static_cast<const char*>(feed) - base);
        const std::string_view line(base + begin_, stop - begin_);
        begin_ = scan_ = stop + 1;
        ++line_number_;
        return line;
      }
      scan_ = end_;
    }
    if (at_end_) {
      if (begin_ == end_) {
        return std::nullopt;
      }
      const std::string_view line(base + begin_, end_ - begin_);
      begin_ = end_;
      ++line_number_;
      return line;
    }
    at_end_ = !fill();
  }
}

LastLine readLastLine(const std::string& path) {
  LineReader reader(path);
  LastLine last;
  while (const auto line = reader.next()) {
    last.text.assign(*line);
    last.number = reader.lineNumber();
  }
  if (last.number == 0) {
    throw std::runtime_error(path + ": no document");
  }
  return last;
}

std::string describeError(std::string_view path, std::uint64_t line,
                          const Core::Monitoring::DocumentError& error) {
  // The reader's message carries its own prefix; the report keeps only the reason after it.
  const std::string offset = std::to_string(error.offset());
  std::string_view reason = error.what();
  const std::string prefix = "invalid document at byte " + offset + ": ";
  if (reason.starts_with(prefix)) {
    reason.remove_prefix(prefix.size());
  }
  std::string text(path);
  text.append(":").append(std::to_string(line)).append(": byte ").append(offset);
  text.append(": ").append(reason);
  return text;
}

Core::Monitoring::RuntimeStateSnapshot readLastSnapshot(const std::string& path) {
  const LastLine last = readLastLine(path);
  try {
    return Core::Monitoring::readRuntimeState(last.text);
  } catch (const Core::Monitoring::DocumentError& error) {
    throw std::runtime_error(describeError(path, last.number, error));
  }
}

void writeOut(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void flushOut() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    const int error = errno == 0 ? EIO : errno;
    throw std::runtime_error("cannot write standard output: " + cause(error));
  }
}

}  // namespace Quillon::Tools::State
