#pragma once
#include <fstream>
#include <string>

inline void write_feedback(const std::string& dir, const char* file, const std::string& text) {
    std::ofstream(dir + file) << text << "\n";
}
