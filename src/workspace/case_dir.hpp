// A directory of inputs for one program: the regular files whose names end
// in ".in", in natural order, each read through a descriptor relative to
// the directory without following a link or opening a FIFO or a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/fd.hpp"
#include "common/result.hpp"

namespace tessimar {

inline constexpr std::size_t kMaxCases = 1000;
inline constexpr std::uint64_t kMaxCaseBytes = std::uint64_t{64} << 20;

struct CaseFile {
    std::string file_name;  // "<name>.in", valid UTF-8
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    // The expected answer, "<name>.out" or "<name>.ans"; empty when there is none.
    std::string answer_name;
    std::uint64_t answer_device = 0;
    std::uint64_t answer_inode = 0;

    bool has_answer() const { return !answer_name.empty(); }
    std::string name() const { return file_name.substr(0, file_name.size() - 3); }
};

struct CaseDir {
    std::string path;  // as the caller gave it
    UniqueFd fd;
    std::vector<CaseFile> cases;  // natural order

    std::size_t judged_cases() const {
        std::size_t n = 0;
        for (const CaseFile& c : cases) n += c.has_answer() ? 1 : 0;
        return n;
    }
};

// Runs of ASCII digits compare as numbers (leading zeros aside), everything
// else byte by byte; names equal in that order fall back to byte order.
bool natural_less(std::string_view a, std::string_view b);

// Lists and checks every case up front, with its expected answer when it
// has one (two answers for one case, or one that is not a regular file, is
// an error): any entry that cannot be used makes
// the whole directory an error naming it.
Result<CaseDir> open_case_dir(const std::string& path);

// The bytes of one case, when the file is still the one listed.
Result<std::string> read_case(const CaseDir& dir, const CaseFile& file);

// The expected answer of a case, open for reading, when the file is still
// the one listed.
Result<UniqueFd> open_answer(const CaseDir& dir, const CaseFile& file);

}  // namespace tessimar
