// libFuzzer target: reads arbitrary bytes as a file, which takes the paths that strings do not
// (byte-order marks, wide-character detection and conversion, the encoding guess), then writes
// any document that comes out to a file and reads that again.
#include "xmlParser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

std::string tempPath(const char* suffix) {
    const char* dir = getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/fuzz_xml_" + std::to_string(getpid()) +
           suffix;
}

// The two scratch files, removed when the fuzzer exits.
struct ScratchFiles {
    std::string input = tempPath(".in.xml");
    std::string output = tempPath(".out.xml");
    ~ScratchFiles() {
        unlink(input.c_str());
        unlink(output.c_str());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ScratchFiles files;
    const std::string& input = files.input;
    const std::string& output = files.output;
    FILE* f = fopen(input.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    auto guess = XMLNode::guessCharEncoding(data, static_cast<int>(size), 1);
    if (XMLNode::setGlobalOptions(guess) != 0) XMLNode::setGlobalOptions();

    XMLResults results;
    XMLNode document = XMLNode::parseFile(input.c_str(), nullptr, &results);
    if (results.error >= eXMLErrorNoXMLData && !document.isEmpty()) abort();
    if (!document.isEmpty()) {
        if (document.writeToFile(output.c_str(), "ISO-8859-1") != eXMLErrorNone) abort();
        XMLNode::parseFile(output.c_str(), nullptr, nullptr);
    }
    XMLNode::setGlobalOptions();
    return 0;
}
