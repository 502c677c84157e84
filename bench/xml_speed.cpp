// Speed and memory of the XML library beside tinyxml2, on generated documents of 1, 4 and 16 MB.
//
// For each size and library it measures, in a process of its own (so that neither library runs
// on a heap the other has shaped):
//   parse+write  parsing the text and writing the document back as formatted text
//   write        writing an already parsed document as formatted text
//   parse        the first parse of the text in the process
//   reparse      a parse right after the previous document was freed
//   repeated     the mean of several parse-and-free cycles in a row
//   peak         the most heap memory held at once while parsing, the text itself excluded
// Times are CPU milliseconds of the process, the best of several runs (the machine is shared;
// the best run is the one least disturbed). The ratio column is this library's figure over
// tinyxml2's.
//
// Everything runs twice: with malloc's default settings, where memory freed at the top of the
// heap goes back to the system and page faults are a large part of every parse, and with the
// heap kept (freed memory stays with malloc for reuse), which leaves the work of the libraries
// themselves; that is the situation of a long-running process that parses repeatedly.
//
// Usage: tavro-bench-xml-speed [--quick | --mb N]   (--quick: 1 MB only, fewer runs;
// --mb N: a document of N MB only)
#include "xmlParser.h"

#include <tinyxml2.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// ---- Heap accounting: every malloc of the process (operator new included) passes here. -------

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void __libc_free(void*);

namespace {
// Counting is on only while memory is measured, so that the timed runs pay nothing for it.
std::atomic<bool> counting{false};
std::atomic<long long> heapNow{0};
std::atomic<long long> heapPeak{0};

void account(long long delta) {
    long long now = heapNow.fetch_add(delta) + delta;
    long long peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}
}  // namespace

extern "C" void* malloc(size_t size) {
    void* p = __libc_malloc(size);
    if (p && counting.load(std::memory_order_relaxed))
        account(static_cast<long long>(malloc_usable_size(p)));
    return p;
}

extern "C" void* calloc(size_t n, size_t size) {
    void* p = __libc_calloc(n, size);
    if (p && counting.load(std::memory_order_relaxed))
        account(static_cast<long long>(malloc_usable_size(p)));
    return p;
}

extern "C" void* realloc(void* old, size_t size) {
    if (!counting.load(std::memory_order_relaxed)) return __libc_realloc(old, size);
    long long before = old ? static_cast<long long>(malloc_usable_size(old)) : 0;
    void* p = __libc_realloc(old, size);
    if (p) account(static_cast<long long>(malloc_usable_size(p)) - before);
    else if (size == 0) account(-before);
    return p;
}

extern "C" void free(void* p) {
    if (!p) return;
    if (counting.load(std::memory_order_relaxed)) account(-static_cast<long long>(malloc_usable_size(p)));
    __libc_free(p);
}

namespace {

// ---- Documents ----------------------------------------------------------------------------

// A document of about `bytes` bytes shaped like configuration data: groups of records with
// attributes, short texts with entities, a comment now and then, indented with tabs.
std::string makeDocument(size_t bytes) {
    std::string s;
    s.reserve(bytes + 4096);  // no freed buffers left behind on the heap
    s += "<?xml version=\"1.0\"?>\n<Catalogue version=\"3\">\n";
    char line[512];
    for (int g = 0; s.size() < bytes; ++g) {
        snprintf(line, sizeof line, "\t<Group id=\"%d\" name=\"group &amp; set %d\">\n", g, g);
        s += line;
        if (g % 10 == 0) s += "\t\t<!-- generated group -->\n";
        for (int i = 0; i < 20; ++i) {
            snprintf(line, sizeof line,
                     "\t\t<Item key=\"k%d.%d\" type=\"double\" unit='mm'>%d.%06d &lt; limit</Item>\n",
                     g, i, g * 20 + i, (g * 7919 + i * 104729) % 1000000);
            s += line;
            if (i % 5 == 0) {
                snprintf(line, sizeof line,
                         "\t\t<Note lang=\"en\"><Text>Value %d of \"%d\" is checked</Text>"
                         "<Flag/></Note>\n",
                         i, g);
                s += line;
            }
        }
        s += "\t</Group>\n";
    }
    s += "</Catalogue>\n";
    return s;
}

// ---- Measuring ----------------------------------------------------------------------------

// CPU time of the process: on a shared machine it counts what the work costs, not how long
// other processes kept the processor.
double nowMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double bestOf(int runs, const std::function<void()>& f) {
    double best = 1e30;
    for (int i = 0; i < runs; ++i) {
        double t0 = nowMs();
        f();
        best = std::min(best, nowMs() - t0);
    }
    return best;
}

struct Figures {
    double parseWrite = 0, write = 0, parse = 0, reparse = 0, repeated = 0;
    double peakMB = 0;
    size_t written = 0;
    size_t input = 0;
};

// The operations of one library, so that both are measured the same way.
struct Library {
    virtual ~Library() = default;
    virtual void parse(const std::string& text) = 0;  // keeps the document
    virtual void release() = 0;                        // frees it
    virtual size_t write() = 0;                        // formatted text of the kept document
};

struct Ours : Library {
    XMLNode doc;
    void parse(const std::string& text) override {
        XMLResults r;
        doc = XMLNode::parseString(text.c_str(), nullptr, &r);
        if (r.error != eXMLErrorNone || doc.isEmpty()) {
            fprintf(stderr, "xmlParser: parse failed: %s\n", XMLNode::getError(r.error));
            exit(1);
        }
    }
    void release() override { doc = XMLNode(); }
    size_t write() override {
        int size = 0;
        char* s = doc.createXMLString(1, &size);
        freeXMLString(s);
        return static_cast<size_t>(size);
    }
};

struct Tiny : Library {
    tinyxml2::XMLDocument* doc = nullptr;
    void parse(const std::string& text) override {
        doc = new tinyxml2::XMLDocument();
        if (doc->Parse(text.c_str(), text.size()) != tinyxml2::XML_SUCCESS) {
            fprintf(stderr, "tinyxml2: parse failed: %s\n", doc->ErrorStr());
            exit(1);
        }
    }
    void release() override {
        delete doc;
        doc = nullptr;
    }
    size_t write() override {
        tinyxml2::XMLPrinter printer;  // formatted, into memory
        doc->Print(&printer);
        return static_cast<size_t>(printer.CStrSize() - 1);
    }
};

Figures measure(Library& lib, const std::string& text, int runs) {
    Figures f;
    // The very first parse of this text in the process, on a heap that has not held it yet.
    double t0 = nowMs();
    lib.parse(text);
    f.parse = nowMs() - t0;
    lib.release();

    // The first parse after a freed document.
    f.reparse = bestOf(1, [&] { lib.parse(text); });
    lib.release();

    double total = 0;
    const int cycles = runs * 2;
    for (int i = 0; i < cycles; ++i) {
        double t = nowMs();
        lib.parse(text);
        lib.release();
        total += nowMs() - t;
    }
    f.repeated = total / cycles;

    f.parseWrite = bestOf(runs, [&] {
        lib.parse(text);
        f.written = lib.write();
        lib.release();
    });

    lib.parse(text);
    f.write = bestOf(runs, [&] { lib.write(); });
    lib.release();

    // Memory: the most held at once during a parse, above what was held before it.
    long long base = heapNow.load();
    heapPeak.store(base);
    counting = true;
    lib.parse(text);
    counting = false;
    f.peakMB = static_cast<double>(heapPeak.load() - base) / (1024.0 * 1024.0);
    lib.release();
    return f;
}

// Measures one library in a child process of its own, which also makes the document, so that
// each library starts on a fresh heap: neither runs on memory the other has shaped (glibc
// adapts its thresholds to what was freed before, and page faults are a large part of the
// cost of a first parse).
Figures measureApart(Library& lib, size_t bytes, int runs, bool keptHeap) {
    int fds[2];
    if (pipe(fds) != 0) {
        perror("pipe");
        exit(1);
    }
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        exit(1);
    }
    if (child == 0) {
        close(fds[0]);
        if (keptHeap) {
            // Freed memory stays with malloc for reuse instead of going back to the system.
            mallopt(M_TRIM_THRESHOLD, 1 << 30);
            mallopt(M_MMAP_THRESHOLD, 32 << 20);
        }
        std::string text = makeDocument(bytes);
        Figures f = measure(lib, text, runs);
        f.input = text.size();
        ssize_t w = write(fds[1], &f, sizeof f);
        _exit(w == static_cast<ssize_t>(sizeof f) ? 0 : 1);
    }
    close(fds[1]);
    Figures f;
    ssize_t got = read(fds[0], &f, sizeof f);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof f) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "measuring process failed\n");
        exit(1);
    }
    return f;
}

void row(const char* what, double ours, double tiny) {
    printf("| %-16s | %10.2f | %10.2f | %5.2fx |\n", what, ours, tiny, ours / tiny);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    long onlyMB = argc > 2 && strcmp(argv[1], "--mb") == 0 ? strtol(argv[2], nullptr, 10) : 0;
    if (argc > 1 && !quick && onlyMB <= 0) {
        printf("Usage: %s [--quick | --mb N]\nParses and writes generated XML documents of 1, 4 and 16 MB "
               "with xmlParser and with tinyxml2 and prints a table of times and memory.\n",
               argv[0]);
        return strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    std::vector<size_t> sizes = {1u << 20, 4u << 20, 16u << 20};
    if (quick) sizes.resize(1);
    if (onlyMB > 0) sizes = {static_cast<size_t>(onlyMB) << 20};

    printf("xmlParser %s against tinyxml2 %d.%d.%d; best of several runs, times in ms\n\n",
           XMLNode::getVersion(), TIXML2_MAJOR_VERSION, TIXML2_MINOR_VERSION,
           TIXML2_PATCH_VERSION);
    for (bool keptHeap : {false, true}) {
        printf("%s\n\n", keptHeap
                               ? "## Heap kept: malloc keeps freed memory for reuse (M_TRIM_THRESHOLD "
                                 "1 GB, M_MMAP_THRESHOLD 32 MB), so page faults hardly count"
                               : "## Default malloc settings: freed memory goes back to the system");
        for (size_t bytes : sizes) {
            int runs = quick ? 3 : bytes <= (1u << 20) ? 9 : bytes <= (4u << 20) ? 5 : 3;
            // Each library twice, alternating, each time in a fresh process; the best of both.
            Ours ours;
            Tiny tiny;
            Figures a = measureApart(ours, bytes, runs, keptHeap);
            Figures b = measureApart(tiny, bytes, runs, keptHeap);
            Figures a2 = measureApart(ours, bytes, runs, keptHeap);
            Figures b2 = measureApart(tiny, bytes, runs, keptHeap);
            auto best = [](Figures x, const Figures& y) {
                x.parseWrite = std::min(x.parseWrite, y.parseWrite);
                x.write = std::min(x.write, y.write);
                x.parse = std::min(x.parse, y.parse);
                x.reparse = std::min(x.reparse, y.reparse);
                x.repeated = std::min(x.repeated, y.repeated);
                x.peakMB = std::max(x.peakMB, y.peakMB);
                return x;
            };
            a = best(a, a2);
            b = best(b, b2);
            printf("Document of %.1f MB (written back: xmlParser %.1f MB, tinyxml2 %.1f MB)\n\n",
                   static_cast<double>(a.input) / (1024.0 * 1024.0),
                   static_cast<double>(a.written) / (1024.0 * 1024.0),
                   static_cast<double>(b.written) / (1024.0 * 1024.0));
            printf("| %-16s | %10s | %10s | %6s |\n", "", "xmlParser", "tinyxml2", "ratio");
            printf("|------------------|------------|------------|--------|\n");
            row("parse+write ms", a.parseWrite, b.parseWrite);
            row("write ms", a.write, b.write);
            row("parse ms", a.parse, b.parse);
            row("reparse ms", a.reparse, b.reparse);
            row("repeated ms", a.repeated, b.repeated);
            row("peak memory MB", a.peakMB, b.peakMB);
            printf("\n");
            fflush(stdout);
        }
    }
    return 0;
}
