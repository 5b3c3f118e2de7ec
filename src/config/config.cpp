// config.cpp -- loadConfig.
#include "config/config.h"

#include <filesystem>
#include <fstream>
#include <istream>
#include <sstream>

#include "platform/console.h"

namespace peerdir {

namespace {

// Stream extraction would wrap "-1" round to 65535; a port written with a
// minus sign is a mistake, not a request for the highest port.
bool readUnsigned16(std::istream& in, std::uint16_t* value) {
    in >> std::ws;
    if (in.peek() == '-') in.setstate(std::ios::failbit);
    std::uint16_t read = 0;
    if (!(in >> read)) return false;
    *value = read;
    return true;
}

void reportBadPort(const std::string& fileName) {
    logText("loadConfig: The port in ");
    logText(fileName.c_str());
    logText(" is missing or is not a number from 0 to 65535; using port 0.");
    logEnd();
}

// Only a regular file counts: opening a FIFO waits for a writer that may
// never come, a device such as /dev/zero never ends, and a directory has no
// text. The read stops at kMaxConfigBytes, far beyond five tokens, so no
// file can make start-up hold unbounded memory.
bool readConfigText(const std::string& fileName, std::string* text) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(fileName, error)) return false;
    std::ifstream file(fileName, std::ios::binary);
    if (!file.good()) return false;
    text->resize(kMaxConfigBytes);
    file.read(&(*text)[0], static_cast<std::streamsize>(kMaxConfigBytes));
    if (file.bad()) return false;
    text->resize(static_cast<std::size_t>(file.gcount()));
    return true;
}

}  // namespace

ServerConfig loadConfig(const std::string& fileName) {
    ServerConfig config;
    std::string text;
    if (!readConfigText(fileName, &text)) {
        config.loaded = false;
        return config;
    }
    config.loaded = true;
    std::istringstream file(text);
    // A failed read leaves the stream failed, so every later read is skipped
    // and its field keeps the value it started with.
    file >> config.reservedText1;
    if (!readUnsigned16(file, &config.port)) {
        config.port = 0;
        reportBadPort(fileName);
    }
    readUnsigned16(file, &config.reservedNumber);
    file >> config.reservedText2 >> config.reservedText3;
    return config;
}

}  // namespace peerdir
