// read_captured_output on a real file holding the input bytes, with a small
// output limit taken from the first byte (0 to 7 KiB; 0 means the 64 KiB
// default).
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/text.hpp"
#include "fuzz_support.hpp"
#include "report/output_capture.hpp"

namespace {

const std::string& capture_path() {
    static const std::string path = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessimar-fuzz-capture-XXXXXX";
        const int fd = mkstemp(templ.data());
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit([] { unlink(capture_path().c_str()); });
        return templ;
    }();
    return path;
}

void write_file(const std::string& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        FUZZ_CHECK(n > 0);
        done += static_cast<std::size_t>(n);
    }
    FUZZ_CHECK(close(fd) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::uint64_t max_output_kb = size == 0 ? 1 : (data[0] & 7);
    const std::uint64_t limit = max_output_kb == 0 ? 65536 : max_output_kb * 1024;
    FUZZ_CHECK(tessimar::output_limit_bytes(max_output_kb) == limit);

    const std::string& path = capture_path();
    write_file(path, input);

    const tessimar::CapturedOutput out = tessimar::read_captured_output(path, max_output_kb);
    FUZZ_CHECK(!out.error);
    FUZZ_CHECK(out.size && *out.size == size);
    FUZZ_CHECK(tessimar::is_valid_utf8(out.text));
    FUZZ_CHECK(out.truncated == (size > limit));

    const std::string_view marker = tessimar::kTruncationMarker;
    FUZZ_CHECK(marker == "\n...[truncated]");
    if (out.truncated) {
        FUZZ_CHECK(out.text.size() >= marker.size());
        FUZZ_CHECK(out.text.compare(out.text.size() - marker.size(), marker.size(), marker) == 0);
        std::string kept(input.substr(0, static_cast<std::size_t>(limit)));
        kept += marker;
        FUZZ_CHECK(out.text == tessimar::utf8_lossy(kept));
    } else {
        FUZZ_CHECK(out.text == tessimar::utf8_lossy(input));
        if (tessimar::is_valid_utf8(input)) FUZZ_CHECK(out.text == input);
    }
    return 0;
}
