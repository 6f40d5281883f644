// Tying the child's life to the parent's: a job object that ends the child when the parent
// ends for any reason (killed, crashed, logged off), while processes the application starts
// are left out of it and run on.
#pragma once

#include <windows.h>

/// Bytes kept for the attribute list that names the job (one attribute needs about 48).
constexpr size_t child_job_attribute_capacity = 128;

struct child_job {
  /// Ends every process in it when its last handle closes; processes started inside break
  /// away without asking. Not inheritable: the parent holds the only handle until it ends.
  /// Null when the system refuses such a job.
  HANDLE job = nullptr;
  /// For STARTUPINFOEXW: creates the process already inside the job. Null when the system
  /// has no such attribute.
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = nullptr;
  alignas(8) unsigned char attribute_storage[child_job_attribute_capacity];
};

/// Makes the job and, where the system has it, the attribute list that starts a process in it.
void prepare_child_job(child_job& job);

/// Puts a process started without the attribute list into the job. Returns whether it is in;
/// a launcher started inside a job that forbids nesting is refused, and the child then runs
/// as it would without a job.
bool assign_child_job(const child_job& job, HANDLE process);
