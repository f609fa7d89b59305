#include "cli/usage.hpp"

#ifndef TESSIMAR_VERSION
#error "TESSIMAR_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace tessimar {

std::string_view help_text() {
    return R"(Usage: tessimar-exec --lang LANGUAGE [OPTION ...] < PROGRAM
       tessimar-exec --languages | --probe | --capabilities
       tessimar-exec --lang LANGUAGE --cases DIR [OPTION ...] < PROGRAM
       tessimar-exec --lang LANGUAGE --problem DIR [OPTION ...] < PROGRAM
       tessimar-exec --batch FILE [--jobs N] [--out FILE] [OPTION ...]
       tessimar-exec --serve [HOST:]PORT [--jobs N] [--queue N] [OPTION ...]
       tessimar-exec --help | --version

Runs the program read from standard input as a child process under limits
and prints one line of JSON, the run report. The exit status is 0 whatever
the program did; the report says how it went.

Run options (a value option takes the next argument, whatever it is):
  --lang LANGUAGE        language name or alias (see --languages)
  --timeout SECONDS      wall-clock limit of the run, compile included (10)
  --timeout-ms MS        the same in milliseconds; the last of the two wins
  --compile-timeout SECONDS, --compile-timeout-ms MS
                         a limit of the compile phase alone; the run then
                         gets its whole timeout
  --max-cpu SECONDS      CPU-time limit (default: timeout, rounded up, + 8)
  --max-memory-mb MIB    address-space limit of each process (default 2 TiB)
  --max-data-mb MIB      data-segment limit of each process, plus the
                         runtime's allowance; MLE by the peak (default off)
  --max-output-kb KIB    cap on each captured stream (64)
  --stdin TEXT           the program's standard input
  --stdin-file PATH      the program's standard input, read from a file
  --workdir DIR          run in DIR instead of a fresh temporary directory
  --no-net               refuse the program network sockets
  --contain              confine the program's files, signals and sockets
                         (Landlock); as root, also run it as a user id of
                         its own (TESSIMAR_CONTAIN_UIDS)
  --cases DIR            compile once, run once per DIR/*.in file
  --build-cache DIR      keep successful compiles in DIR and run a stored
                         one instead of compiling the same program again
  --build-cache-mb MIB   bound of the build cache's size (1024); the least
                         recently used entries go first
  --expect-file PATH     judge the run against this expected answer
                         (with --cases: DIR/NAME.out or DIR/NAME.ans)
  --check MODE           exact, lines, tokens (default) or floats
  --float-tolerance EPS  absolute or relative tolerance of floats (1e-6)
  --ignore-case          fold ASCII letters before comparing
  --checker PATH         judge with the program PATH instead (testlib:
                         PATH INPUT OUTPUT ANSWER)
  --judge-protocol NAME  testlib (default) or kattis: PATH INPUT ANSWER
                         FEEDBACK_DIR/ with the output on standard input,
                         exit 42 passes, 43 rejects
  --judge-arg ARG        one more argument for the checker or interactor;
                         repeatable
  --interactor PATH      the program talks to PATH through two pipes; PATH
                         gets the input and answer files and decides
  --transcript-kb N      with --interactor: relay the exchange and keep its
                         first N KiB in the report
  --stop-at-first-failure
                         with --cases or --problem: skip the cases
                         after the first that is not OK
  --files DIR            copy the files and directories below DIR into the
                         work directory first (a single run; no links)
  --fetch PATH           read the work directory's file PATH back into the
                         report's "files" in base64; repeatable
  --problem DIR          judge on every test case of the problem package
                         DIR (data/, problem.yaml, its output validator),
                         with its groups, scores and limits; --timeout or
                         --timeout-ms wins over its time limit
  --batch FILE           one JSON request per line of FILE ("-": standard
                         input), one report line per request
  --jobs N               requests of a batch run at once (default: the
                         CPUs the runner may use)
  --out FILE             append a batch's report lines to FILE; a rerun
                         continues where it ends
  --first-line N         number a batch's lines from N (a shard of a
                         larger input)
  --max-line-mb N        the longest request line of a batch, in MiB (64);
                         a longer one is that line's error
  --serve [HOST:]PORT    an HTTP service: POST /run takes one batch request
                         and answers its report line (host 127.0.0.1; port
                         0: any free one); run options are every request's
                         defaults and ceilings; TESSIMAR_SERVE_TOKEN set:
                         requests need 'Authorization: Bearer TOKEN'
  --queue N              requests of the service that may wait for a job
                         (1024); one more is answered 503
  --max-request-mb N     the largest request body of the service, in MiB
                         (64); a larger one is answered 413

Discovery (wins wherever it stands: --probe, then --languages, then
--capabilities; standard input is not read):
  --languages            the names of the 32 languages, as a JSON array
  --probe                which languages are installed, as a JSON object
  --capabilities         whether the kernel can enforce --no-net and
                         --max-data-mb

  --help                 this text
  --version              the version

Numbers are unsigned decimals; an invalid one means the default. Unknown
arguments are skipped. --help and --version count where an option stands,
not as the value of another option, and read no standard input.

The manual: man tessimar-exec. A JSON Schema of everything the runner
prints: share/doc/tessimar-exec/tessimar-exec.schema.json under the prefix it
is installed in.
)";
}

std::string_view version_line() { return "tessimar-exec " TESSIMAR_VERSION "\n"; }

}  // namespace tessimar
