// Accepts the answer's number and scores it half of that; its flag must be given.
#include <fstream>
#include <iostream>
#include <string>

#include "messages.h"

int main(int argc, char** argv) {
    if (argc < 5 || std::string(argv[4]) != "expect_flag") return 1;
    long expected = 0, got = 0;
    std::ifstream(argv[2]) >> expected;
    if (!(std::cin >> got) || got != expected) {
        write_feedback(argv[3], "judgemessage.txt", "expected " + std::to_string(expected));
        return 43;
    }
    write_feedback(argv[3], "score.txt", std::to_string(expected / 2));
    return 42;
}
