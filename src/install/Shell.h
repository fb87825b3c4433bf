#pragma once
// The shell port: special folders, shell links, starting a program, the processor.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvex {

// The shell operation that failed. Only the link object's creation fails a caller: a folder
// lookup, a load, a save or a start that fails passes silently, as the shortcut steps and
// the start of the application require.
enum class ShellFailure {
  kCreateLinkObject,
};

// A shell operation that failed, with the system's code (an HRESULT, as its bits).
class ShellError : public std::runtime_error {
 public:
  ShellError(ShellFailure kind, std::uint32_t systemCode, std::string_view reason)
      : std::runtime_error(std::string(Attempt(kind)) + ": " + std::string(reason)),
        kind_(kind),
        systemCode_(systemCode) {}

  ShellFailure kind() const noexcept { return kind_; }
  std::uint32_t systemCode() const noexcept { return systemCode_; }

 private:
  static const char* Attempt(ShellFailure kind) {
    switch (kind) {
      case ShellFailure::kCreateLinkObject:
        return "Cannot create the shell link object";
    }
    return "The shell failed";
  }

  ShellFailure kind_;
  std::uint32_t systemCode_;
};

enum class ProcessorArchitecture { X86, X64, Arm64, Other };

struct ShellLinkFields {
  std::string description;
  std::string targetPath;
  std::string arguments;
  std::string workingDirectory;
};

// A shell link object made for one step; released when the step's owner drops it.
class ShellLink {
 public:
  virtual ~ShellLink() = default;
  // Loads a link file read-only; false when it cannot be loaded.
  virtual bool Load(const std::string& linkPath) = 0;
  // The raw stored target (no search for a moved target); empty when there is none.
  virtual std::string RawTarget() = 0;
  // Sets, in this order, description, target, arguments, working directory.
  virtual void SetFields(const ShellLinkFields& fields) = 0;
  // Saves to linkPath without making it the object's current file; false on failure.
  virtual bool SaveAs(const std::string& linkPath) = 0;
};

class Shell {
 public:
  virtual ~Shell() = default;
  // Current path of a special folder for the current user; empty when the lookup fails.
  virtual std::string SpecialFolderPath(int csidl) = 0;
  // A new link object; throws ShellError when it cannot be created.
  virtual std::unique_ptr<ShellLink> CreateLink() = 0;
  // Asks the shell to carry out verb on file. Returns the shell's answer (above 32: done; else
  // the reason), which the run only records: a failure to start is not the user's message.
  virtual std::uint32_t Execute(const std::string& verb, const std::string& file, const std::string& parameters,
                       const std::string& directory, int showCommand) = 0;
  // The native processor architecture of the system, not of this process.
  virtual ProcessorArchitecture NativeArchitecture() = 0;
};

}  // namespace quorvex
