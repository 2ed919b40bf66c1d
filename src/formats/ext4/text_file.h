#pragma once
// Small text-file helpers for the config files: a line reader that accepts LF and CR LF, a
// buffered writer, and whole-file replacement through a temporary file and rename.
#include <cstdint>
#include <string>

namespace orvex::ext4 {

class LineReader {
 public:
  ~LineReader();
  bool Open(const std::string& path, std::string* error);
  // Next line without its line end; false at the end of the file or on an error (see error()).
  bool Next(std::string* line);
  // True once a line ending in CR LF has been read.
  bool saw_crlf() const { return saw_crlf_; }
  // True when the last line read had a line end.
  bool last_had_newline() const { return last_had_newline_; }
  const std::string& error() const { return error_; }

 private:
  std::string data_;  // the whole file
  size_t pos_ = 0;
  bool open_ = false;
  std::string path_;
  std::string error_;
  bool saw_crlf_ = false;
  bool last_had_newline_ = true;
};

class TextWriter {
 public:
  ~TextWriter();
  // Creates (truncates) the file.
  bool Open(const std::string& path, std::string* error);
  void Write(const std::string& s);
  // Writes s followed by the line end chosen at construction ("\n" unless set_crlf(true)).
  void Line(const std::string& s);
  void set_crlf(bool crlf) { eol_ = crlf ? "\r\n" : "\n"; }
  // Flushes and closes; false with *error when anything failed to reach the file.
  bool Close(std::string* error);

 private:
  void Drain();
  int fd_ = -1;
  uint64_t written_ = 0;
  std::string pending_;
  std::string path_;
  const char* eol_ = "\n";
  bool failed_ = false;
  int errno_ = 0;
};

// Writes content to path atomically: a temporary file beside it, then rename over it. The file
// keeps the mode of the file it replaces (0644 when new) where the system keeps modes.
bool WriteFileAtomic(const std::string& path, const std::string& content, std::string* error);

// Creates a new file beside path named path + infix + six random characters: its descriptor
// (open for writing) with the name in *tmp, or -1 with *error.
int CreateTempBeside(const std::string& path, const std::string& infix, std::string* tmp,
                     std::string* error);

// The whole file; *exists false (and true returned) when it does not exist.
bool ReadWholeFile(const std::string& path, std::string* out, bool* exists, std::string* error);

}  // namespace orvex::ext4
