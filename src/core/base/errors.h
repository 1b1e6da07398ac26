// The exception types that carry failures up to the window or the headless tool.
// An operation that fails throws one of these with a text a person can read; the
// window shows it in a critical message box and the program ends non-zero.
#pragma once

#include <stdexcept>
#include <string>

namespace vornback {

// Base of every failure the system raises itself.
class Error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A file or folder operation failed; the text names the operation, the path and the
// system's reason.
class FileSystemError : public Error {
  public:
    using Error::Error;
};

// An archive could not be written or read (damaged, hostile, not a zip, CRC mismatch).
class ArchiveError : public Error {
  public:
    using Error::Error;
};

// Packing or unpacking was cancelled through its cancel flag.
class ArchiveCancelled : public ArchiveError {
  public:
    using ArchiveError::ArchiveError;
};

// A database could not be opened or a statement failed (missing file, wrong password,
// not a database, a value that does not fit its column).
class DatabaseError : public Error {
  public:
    using Error::Error;
};

// A command line or another start-up input cannot be read.
class UsageError : public Error {
  public:
    using Error::Error;
};

// The program ends after a refusal that has already been shown to the person. It unwinds
// to the window, which closes; main returns exitCode.
class ProgramEnd : public std::exception {
  public:
    explicit ProgramEnd(int exitCode = 1) : exitCode_(exitCode) {}
    int ExitCode() const { return exitCode_; }
    const char* what() const noexcept override { return "program end"; }

  private:
    int exitCode_;
};

// A run refused because another run or window holds what it needs, after the refusal was
// shown: a window stays open so that the person can try again once the other has finished;
// the headless tool ends.
class RunRefused : public ProgramEnd {
  public:
    using ProgramEnd::ProgramEnd;
};

// A run stopped at a check of what the person chose (the folder, the year, the space on the
// disk), after the message was shown: as after a refusal, a window stays open so that the
// person can choose again and the headless tool ends; the run counts as stopped.
class RunStopped : public RunRefused {
  public:
    using RunRefused::RunRefused;
};

// The person answered No to a question that ends the run ("Old data will be Overwrite Are
// You Sure"): the program ends as after a refusal, and the run counts as cancelled.
class RunDeclined : public ProgramEnd {
  public:
    using ProgramEnd::ProgramEnd;
};

}  // namespace vornback
