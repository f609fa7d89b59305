// The process limit of a phase, from the number of tasks the runner's user
// already runs, with two environment overrides.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/child_user.hpp"
#include "common/phase_outcome.hpp"

namespace tessimar {

// Sum of the thread counts of all processes whose real uid is the runner's;
// scanned once per invocation, absent when nothing could be measured.
std::optional<std::uint64_t> count_user_tasks();

// Where the scan learns a process's real uid and thread count. By default,
// in the runner's own /proc, from the process's pidfd and the link count of
// its task directory where the kernel offers that: the same figures the
// status file shows, without the kernel rendering all of it for every
// process. Otherwise, and always with StatusFiles, from the status files.
enum class ScanSource { Fastest, StatusFiles };

// Scans a /proc-like directory for processes of `uid` (exposed for tests).
std::optional<std::uint64_t> scan_user_tasks(const char* proc_dir, unsigned uid,
                                             ScanSource source = ScanSource::Fastest);

// The tasks of `uid` in /proc: 0 when none is listed, absent when /proc
// cannot be listed.
std::optional<std::uint64_t> tasks_of_uid(unsigned uid);

// Parses the text of a /proc/<pid>/status file into (uid, threads).
struct StatusFields {
    std::optional<std::uint32_t> uid;
    std::optional<std::uint64_t> threads;
};
StatusFields parse_status_text(std::string_view text);

// The limit handed to RLIMIT_NPROC; appends the process notes. Children
// that run as a run's own id are counted against that id: its tasks when
// the run claimed it plus the headroom, and the limit holds (no uid 0 note).
std::uint64_t compute_process_limit(NoteList& notes, const ChildUser& user = ChildUser{});

}  // namespace tessimar
