// Reading documents line by line, for the subcommands that take JSON Lines.
//
// Guarantees: a LineReader holds one buffer that grows only to the longest line it has met, so
// memory stays bounded by that line whatever the input's size; every line is returned whole,
// never truncated. An I/O error is thrown as one message naming the input and the cause.
#ifndef QUILLON_STATE_LINE_INPUT_HPP
#define QUILLON_STATE_LINE_INPUT_HPP

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <quillon/monitoring/reader.hpp>

namespace Quillon::Tools::State {

/// The name under which standard input appears in messages.
inline constexpr std::string_view kStandardInputName = "-";

/// One input read a line at a time: a file, or standard input for "-".
class LineReader {
 public:
  /// Opens `path` ("-" is standard input, left open at the end).
  /// Throws std::runtime_error("cannot open PATH: CAUSE").
  explicit LineReader(std::string path);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  /// Returns the next line without its line feed, or nothing at the end of the input; the view
  /// lives until the next call. A last line without line feed is still a line.
  /// Throws std::runtime_error("cannot read PATH: CAUSE").
  [[nodiscard]] std::optional<std::string_view> next();
  /// Returns the 1-based number of the line `next` returned last.
  [[nodiscard]] std::uint64_t lineNumber() const noexcept { return line_number_; }
  /// Returns how many bytes were read from the input so far.
  [[nodiscard]] std::uint64_t bytesRead() const noexcept { return bytes_read_; }
  /// Returns the input's size when it is a regular file, nothing otherwise.
  [[nodiscard]] std::optional<std::uint64_t> regularFileSize() const noexcept { return size_; }
  /// Returns the input's path as given.
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  bool fill();

  std::string path_;
  int fd_ = -1;
  std::optional<std::uint64_t> size_;
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;
  std::size_t begin_ = 0;  // the next line starts here
  std::size_t scan_ = 0;   // no line feed in [begin_, scan_)
  std::size_t end_ = 0;    // bytes read so far end here
  bool at_end_ = false;
  std::uint64_t line_number_ = 0;
  std::uint64_t bytes_read_ = 0;
};

/// A document of an input: the last line of it, with its number.
struct LastLine {
  std::string text;
  std::uint64_t number = 0;
};

/// Returns the last line of `path` ("-" for standard input), reading it through once.
/// Throws std::runtime_error("PATH: no document") for an input without any line, and the
/// errors of LineReader.
[[nodiscard]] LastLine readLastLine(const std::string& path);

/// Returns "PATH:LINE: byte N: REASON" for a document the reader rejected, REASON being the
/// reader's own. Example: "a.jsonl:3: byte 0: expected '{'"
[[nodiscard]] std::string describeError(std::string_view path, std::uint64_t line,
                                        const Core::Monitoring::DocumentError& error);

/// Returns the runtime-state document of the last line of `path`; the snapshot it describes.
/// Throws std::runtime_error with describeError's text when it is not a valid document.
[[nodiscard]] Core::Monitoring::RuntimeStateSnapshot readLastSnapshot(const std::string& path);

/// Writes `text` to standard output through its buffer.
void writeOut(std::string_view text);
/// Flushes standard output. Throws std::runtime_error("cannot write standard output: CAUSE").
void flushOut();

}  // namespace Quillon::Tools::State

#endif  // QUILLON_STATE_LINE_INPUT_HPP
