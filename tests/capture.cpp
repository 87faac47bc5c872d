#include "capture.h"

#include <unistd.h>

#include <cstdio>

#include "protocol/emit.h"

std::string capture(const std::function<void()>& body) {
    std::FILE* file = std::tmpfile();
    int saved = ::dup(1);
    ::dup2(::fileno(file), 1);
    body();
    writeOutput();  // what emit left for the main loop to write
    ::dup2(saved, 1);
    ::close(saved);
    std::string text;
    std::rewind(file);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) text.append(buf, n);
    std::fclose(file);
    return text;
}
