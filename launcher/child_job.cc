#include "launcher/child_job.h"

void prepare_child_job(child_job& job) {
  job.job = CreateJobObjectW(nullptr, nullptr);
  if (!job.job) return;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  // Silent break-away: an application that opens a document in another program, or starts
  // an updater, must not see that program ended when it ends itself.
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job.job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job.job);
    job.job = nullptr;
    return;
  }
  // Created inside the job, the child is never without it: a parent killed between starting
  // the child and assigning it would leave the child unsupervised, or, started suspended to
  // close that gap, suspended for ever.
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(job.attribute_storage);
  if (size == 0 || size > child_job_attribute_capacity || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
  if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job.job, sizeof job.job, nullptr, nullptr)) {
    DeleteProcThreadAttributeList(list);
    return;
  }
  job.attributes = list;
}

bool assign_child_job(const child_job& job, HANDLE process) {
  return job.job && AssignProcessToJobObject(job.job, process);
}
