// Cleaning of raw terminal output for a program to read: terminal escape
// sequences, carriage returns and control bytes other than TAB and LF are
// dropped in one forward pass, and the rest is decoded as UTF-8 with each
// maximal ill-formed subsequence replaced by one U+FFFD. Pure: no state, no
// locks, safe on any thread.
#pragma once

#include <string>
#include <string_view>

namespace morvik::session {

// Returns well-formed UTF-8.
std::string sanitize_for_agent(std::string_view raw);

// Step one alone: the bytes that survive the escape and control filter, in
// order. Never longer than the input. Exposed for tests and benchmarks.
std::string strip_terminal_bytes(std::string_view raw);

// Step two alone: `bytes` decoded as UTF-8, ill-formed subsequences replaced
// by U+FFFD (maximal subparts), appended to `out`.
void append_utf8_with_replacement(std::string_view bytes, std::string& out);

namespace detail {
// The same routines with the vector scans switched off, so that tests can
// hold the portable word-at-a-time path to the same results on a machine
// whose build would otherwise never run it.
std::string sanitize_for_agent_portable(std::string_view raw);
std::string strip_terminal_bytes_portable(std::string_view raw);
}  // namespace detail

}  // namespace morvik::session
