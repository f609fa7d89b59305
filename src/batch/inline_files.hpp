// A request's inline tests, expected answer and files, as the files the
// runner reads: a private directory (mode 0700) under the temporary base,
// one "NAME.in" per test and "NAME.out" for each expected answer, or the
// single file "expected", and the request's "files" below "files". The
// directory is removed when this goes away.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "batch/batch_request.hpp"
#include "common/dir_identity.hpp"
#include "common/result.hpp"

namespace tessimar {

class InlineFiles {
public:
    InlineFiles() = default;
    InlineFiles(const InlineFiles&) = delete;
    InlineFiles& operator=(const InlineFiles&) = delete;
    InlineFiles(InlineFiles&& other) noexcept;
    InlineFiles& operator=(InlineFiles&& other) noexcept;
    ~InlineFiles();

    // Writes what `run` holds and appends the options that name it to
    // `run.args` (--cases DIR, or --expect-file DIR/expected, and --files
    // DIR/files); the data is
    // let go once written. Nothing to write: an empty InlineFiles. An error
    // is the reason the files could not be written; nothing is left behind.
    static Result<InlineFiles> write(BatchRun& run);

private:
    void remove();

    std::string dir_;
    std::optional<DirIdentity> identity_;
};

}  // namespace tessimar
