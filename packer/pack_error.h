// How the packer reports a refusal: one line on stderr and an exit status.
#pragma once

#include <stdexcept>
#include <string>

/// Exit status for a failed pack, list, verify, extract or link.
constexpr int exit_failure = 1;
/// Exit status for a command line the packer cannot accept.
constexpr int exit_usage = 2;

/// Thrown anywhere below main(); main prints "tavren-pack: <what()>" and exits with `status`.
struct pack_error : std::runtime_error {
  int status;
  explicit pack_error(const std::string& message, int exit_status = exit_failure)
      : std::runtime_error(message), status(exit_status) {}
};

/// The text for an errno value ("Permission denied"), in the same words on Linux and Windows.
std::string errno_text(int error);
