// Texts that callers match word for word (programs and their tests compare
// these messages as strings), so each keeps its exact wording, odd forms
// included; they live here, together, so that none is reworded in passing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvik::kept {

// Start-up failures (the built-in Exception). The first is followed by the
// command, "': " and the error number's text.
inline constexpr char SPAWN_FAILED[] = "Failed to spawn process with command '";
inline constexpr char GET_HANDLE_FAILED[] = "Failed to get pty handle: ";
inline constexpr char CLONE_READER_FAILED[] = "Failed to clone pty handle (reader): ";
inline constexpr char CLONE_WRITER_FAILED[] = "Failed to clone pty handle (writer): ";

// Input and status failures (RuntimeError), each followed by its cause.
inline constexpr char WRITE_FAILED[] = "write failed: ";
inline constexpr char FLUSH_FAILED[] = "flush failed: ";
inline constexpr char IS_ALIVE_FAILED[] = "is_alive failed: ";
// Reads once the output reader has given up (RuntimeError), followed by the
// system's description of why.
inline constexpr char READER_STOPPED[] = "output reader stopped: ";
// The causes of a write that made no progress, buffered or written through.
inline constexpr char BUFFERED_WRITE_STALLED[] = "failed to write the buffered data";
inline constexpr char DIRECT_WRITE_STALLED[] = "failed to write whole buffer";

// The system's description of an error number with the number after it.
inline std::string os_error(std::string description, int code) {
  return description + " (os error " + std::to_string(code) + ")";
}

// Internal failures (PanicException).
inline constexpr char READER_START_FAILED[] = "failed to spawn reader thread: ";
inline std::string os_diagnostic(int code, std::string_view description) {
  return "Os { code: " + std::to_string(code) + ", description: \"" + std::string(description) + "\" }";
}
inline constexpr char IMPOSSIBLE_WAIT_STATUS[] = "assertion failed: continued(status)";
inline constexpr char STALE_DESCRIPTOR[] = "Closing an invalid file descriptor!";
inline constexpr char NO_ERROR_SET[] = "attempted to fetch exception but none was set";
inline std::string sent_to_other_thread(std::string_view type, std::uint64_t caller, std::uint64_t owner) {
  return "assertion `left == right` failed: " + std::string(type) +
         " is unsendable, but sent to another thread\n  left: ThreadId(" + std::to_string(caller) +
         ")\n right: ThreadId(" + std::to_string(owner) + ")";
}
inline std::string dropped_on_other_thread(std::string_view type) {
  return std::string(type) + " is unsendable, but is being dropped on another thread";
}

// Shared and exclusive access refused (RuntimeError).
inline constexpr char ALREADY_MUTABLY_BORROWED[] = "Already mutably borrowed";
inline constexpr char ALREADY_BORROWED[] = "Already borrowed";

// Argument conversion (TypeError); the formats are PyUnicode_FromFormat's.
inline constexpr char CAST_FAILED_FORMAT[] = "'%U' object cannot be cast as '%s'";
inline constexpr char UNKNOWN_TYPE_NAME[] = "<failed to extract type name>";
inline constexpr char STR_AS_LIST[] = "Can't extract `str` to `Vec`";
inline constexpr char NO_BOOL_CONVERSION_FORMAT[] = "object of type '%U' does not define a '__bool__' conversion";
inline constexpr char ARGUMENT_FORMAT[] = "argument '%s': %U";

// Module start.
inline constexpr char CLASS_INIT_FAILED[] = "An error occurred while initializing class ";
inline constexpr char SECOND_INTERPRETER[] =
    "morvik can only be used by the interpreter that imported it first; sub-interpreters are not supported";

}  // namespace morvik::kept
