// Import, look-up, build and store benchmarks of TR47_INI, side by side with
// established INI parsers reading the equivalent flat file.
//
// Sizes: TR47_BENCH_GROUPS (default 200000 groups of 10 values) and
// TR47_BENCH_BIG (default 1000000 values in one group). At the end a summary
// prints the ratios the library is held to, from this run's own figures.
#include <benchmark/benchmark.h>

#include <INIReader.h>
// Debian builds SimpleIni as a library with ICU conversion.
#define SI_CONVERT_ICU
#include <SimpleIni.h>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <ini.h>
#include <malloc.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "corelib/stored_file.hpp"
#include "bench/generate.hpp"
#include "tr47ini/tr47ini.hpp"

namespace fs = std::filesystem;
using namespace tr47;

namespace {

std::uint32_t env_size(const char* name, std::uint32_t fallback) {
    const char* v = std::getenv(name);
    return v && *v ? static_cast<std::uint32_t>(std::strtoul(v, nullptr, 10)) : fallback;
}

struct Inputs {
    fs::path dir;
    fs::path structured, flat, bigStructured, bigFlat, deep, saved, savedPw;
    std::uintmax_t structuredBytes = 0, flatBytes = 0, bigStructuredBytes = 0, bigFlatBytes = 0;
    std::uint32_t groups = 0, big = 0;
};
Inputs g_in;
constexpr int kMmapThreshold = 32 << 20;
constexpr int kTrimThreshold = 64 << 20;
const char* const kPassword = "bench password";

void write_file(const fs::path& p, const std::string& text) {
    std::ofstream(p, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
}

ref<cls_INI> import_document(const fs::path& p) {
    ref<cls_INI> doc = cls_INI::create();
    if (!doc->IMPORT(p.string(), false)) {
        std::fprintf(stderr, "import of %s failed\n", p.c_str());
        std::exit(2);
    }
    return doc;
}

// --- realistic settings ------------------------------------------------------

struct RealisticInputs {
    fs::path structured, flat, saved, names, small, smallFlat;
    std::uintmax_t bytes = 0, flatBytes = 0, namesBytes = 0;
    std::vector<tr47bench::GroupNames> groups;
    std::string smallSection, smallName;
};
RealisticInputs g_real;

void prepare_realistic() {
    const std::size_t bytes = env_size("TR47_BENCH_REALISTIC", 60000000);
    if (bytes == 0) return;
    auto r = tr47bench::generate_realistic(bytes);
    write_file(g_real.structured = g_in.dir / "realistic.ini", r.texts.structured);
    write_file(g_real.flat = g_in.dir / "realistic_flat.ini", r.texts.flat);
    g_real.bytes = r.texts.structured.size();
    g_real.flatBytes = r.texts.flat.size();
    // The names for the fresh-process jobs: "path<TAB>name<TAB>name...".
    std::string names;
    for (const auto& g : r.groups) {
        names += g.section;
        for (const auto& n : g.names) names += "\t" + n;
        names += '\n';
    }
    write_file(g_real.names = g_in.dir / "realistic.names", names);
    g_real.namesBytes = names.size();
    g_real.groups = std::move(r.groups);
    g_real.saved = g_in.dir / "realistic.tr47";
    if (!import_document(g_real.structured)->SAVE(g_real.saved.string())) std::exit(2);
    // A small file of the same kind, for start-up.
    auto small = tr47bench::generate_realistic(2000, 99);
    write_file(g_real.small = g_in.dir / "small.ini", small.texts.structured);
    write_file(g_real.smallFlat = g_in.dir / "small_flat.ini", small.texts.flat);
    g_real.smallSection = small.groups.back().section;
    g_real.smallName = small.groups.back().names.back();
}

void prepare() {
    g_in.groups = env_size("TR47_BENCH_GROUPS", 200000);
    g_in.big = env_size("TR47_BENCH_BIG", 1000000);
    char tmpl[] = "/tmp/tr47bench.XXXXXX";
    if (!mkdtemp(tmpl)) std::exit(2);
    g_in.dir = tmpl;
    {
        auto t = tr47bench::generate_groups(g_in.groups, 10);
        write_file(g_in.structured = g_in.dir / "groups.ini", t.structured);
        write_file(g_in.flat = g_in.dir / "groups_flat.ini", t.flat);
        g_in.structuredBytes = t.structured.size();
        g_in.flatBytes = t.flat.size();
    }
    {
        auto t = tr47bench::generate_one_group(g_in.big);
        write_file(g_in.bigStructured = g_in.dir / "big.ini", t.structured);
        write_file(g_in.bigFlat = g_in.dir / "big_flat.ini", t.flat);
        g_in.bigStructuredBytes = t.structured.size();
        g_in.bigFlatBytes = t.flat.size();
    }
    write_file(g_in.deep = g_in.dir / "deep.ini", tr47bench::generate_deep(1000));
    prepare_realistic();
    g_in.saved = g_in.dir / "groups.tr47";
    g_in.savedPw = g_in.dir / "groups_pw.tr47";
    ref<cls_INI> doc = import_document(g_in.structured);
    if (!doc->SAVE(g_in.saved.string()) || !doc->SAVE(g_in.savedPw.string(), kPassword)) std::exit(2);
}

// --- imports ---------------------------------------------------------------

// Every timed benchmark of a whole file runs its operation once untimed
// first, so that each figure is the steady state of a process that has done
// the work before, whatever ran earlier in this program.
void BM_Import_TR47(benchmark::State& state, const fs::path* file, const std::uintmax_t* bytes) {
    import_document(*file);
    for (auto _ : state) {
        ref<cls_INI> doc = import_document(*file);
        benchmark::DoNotOptimize(doc.get());
        state.PauseTiming(); // releasing the tree is not part of the import
        doc = nullptr;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * *bytes));
}

int inih_count(void* user, const char*, const char*, const char*) {
    ++*static_cast<std::size_t*>(user);
    return 1;
}

void BM_Parse_inih(benchmark::State& state, const fs::path* file, const std::uintmax_t* bytes) {
    std::size_t warm = 0;
    ini_parse(file->c_str(), inih_count, &warm);
    for (auto _ : state) {
        std::size_t n = 0;
        if (ini_parse(file->c_str(), inih_count, &n) != 0) state.SkipWithError("inih failed");
        benchmark::DoNotOptimize(n);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * *bytes));
}

void BM_Load_SimpleIni(benchmark::State& state, const fs::path* file, const std::uintmax_t* bytes) {
    std::make_unique<CSimpleIniA>(true)->LoadFile(file->c_str());
    for (auto _ : state) {
        auto ini = std::make_unique<CSimpleIniA>(true);
        if (ini->LoadFile(file->c_str()) < 0) state.SkipWithError("SimpleIni failed");
        benchmark::DoNotOptimize(ini.get());
        state.PauseTiming();
        ini.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * *bytes));
}

void BM_Read_PropertyTree(benchmark::State& state, const fs::path* file, const std::uintmax_t* bytes) {
    {
        boost::property_tree::ptree warm;
        boost::property_tree::ini_parser::read_ini(file->string(), warm);
    }
    for (auto _ : state) {
        auto tree = std::make_unique<boost::property_tree::ptree>();
        boost::property_tree::ini_parser::read_ini(file->string(), *tree);
        benchmark::DoNotOptimize(tree.get());
        state.PauseTiming();
        tree.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * *bytes));
}

// --- look-ups ----------------------------------------------------------------

void BM_Value_ByName(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    ref<cls_INIGroup> group = cls_INIGroup::create();
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < n; ++i) {
        names.push_back("Entry" + tr47bench::letters(i));
        group->VALUES()->CREATE(names.back(), Variant(double(i)), ID_INIValueSort_Long);
    }
    // Visit names in a scattered order so that caches do not flatter large groups.
    std::vector<std::uint32_t> order(4096);
    std::uint64_t x = 88172645463325252ull;
    for (auto& o : order) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        o = static_cast<std::uint32_t>(x % n);
    }
    // The first look-up builds the key index (once, O(n)); time the ones after it.
    benchmark::DoNotOptimize(group->VALUE(names[0]));
    std::size_t k = 0;
    for (auto _ : state) {
        Variant v = group->VALUE(names[order[k++ & 4095]]);
        benchmark::DoNotOptimize(v);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Value_Recursive(benchmark::State& state) {
    ref<cls_INI> doc = import_document(g_in.deep);
    for (auto _ : state) {
        Variant v = doc->VALUE("Target");
        if (v.to_double() != 42) state.SkipWithError("deep value not found");
        benchmark::DoNotOptimize(v);
    }
}

void BM_Create_Values(benchmark::State& state) {
    const auto n = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < n; ++i) names.push_back("Entry" + tr47bench::letters(i));
    for (auto _ : state) {
        ref<cls_INIValues> values = cls_INIValues::create();
        for (std::uint32_t i = 0; i < n; ++i) values->CREATE(names[i], Variant(double(i)), ID_INIValueSort_Long);
        benchmark::DoNotOptimize(values.get());
        state.PauseTiming();
        values = nullptr;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * n));
    state.SetComplexityN(n);
}

// --- stored form -------------------------------------------------------------

void BM_Save(benchmark::State& state, const char* password) {
    ref<cls_INI> doc = import_document(g_in.structured);
    const fs::path out = g_in.dir / "save.tr47";
    doc->SAVE(out.string(), password);
    for (auto _ : state)
        if (!doc->SAVE(out.string(), password)) state.SkipWithError("SAVE failed");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_in.structuredBytes));
}

void BM_Load(benchmark::State& state, const fs::path* file, const char* password) {
    cls_INI::create()->LOAD(file->string(), password);
    for (auto _ : state) {
        ref<cls_INI> doc = cls_INI::create();
        if (!doc->LOAD(file->string(), password)) state.SkipWithError("LOAD failed");
        benchmark::DoNotOptimize(doc.get());
        state.PauseTiming();
        doc = nullptr;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_in.structuredBytes));
}

// Reaches every group and value, so each is made a real object: the cost
// that IMPORT and LOAD leave for the first access.
std::size_t touch_all(const ref<cls_INIGroup>& g) {
    std::size_t n = 0;
    if (const auto& v = g->values_if_any())
        for (std::int32_t i = 1; i <= v->COUNT(); ++i) n += v->Item(Variant(i))->CONTENT().is_empty() ? 0 : 1;
    if (const auto& c = g->children_if_any())
        for (std::int32_t i = 1; i <= c->COUNT(); ++i) n += touch_all(c->Item(Variant(i)));
    return n;
}

void BM_Touch(benchmark::State& state, bool load) {
    for (auto _ : state) {
        ref<cls_INI> doc = cls_INI::create();
        if (load ? !doc->LOAD(g_in.saved.string()) : !doc->IMPORT(g_in.structured.string(), false))
            state.SkipWithError("LOAD or IMPORT failed");
        benchmark::DoNotOptimize(touch_all(doc->ROOT()));
        state.PauseTiming();
        doc = nullptr;
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * g_in.structuredBytes));
}

// The password's key derivation alone (PBKDF2-HMAC-SHA256 at the work
// factor and in the lanes of new files), part of every LOAD and SAVE with
// a password. Called directly: a SAVE would add the flush of its file.
void BM_KeyDerivation(benchmark::State& state) {
    const std::string salt(16, 's');
    for (auto _ : state)
        benchmark::DoNotOptimize(tr47::detail::derive_stored_file_key(
            kPassword, salt, tr47::detail::password_iterations(), tr47::detail::password_lanes()));
}

// --- peak memory -------------------------------------------------------------

// Peak RSS (bytes) of a fresh process that does one job, and the job's time
// there: the benchmark program runs itself with --rss-job so that nothing of
// this process counts, and the job meets a heap and page tables that nothing
// has used before.
struct FreshRun {
    long rss = -1;
    double seconds = 0;
};
FreshRun fresh_run_of(const std::string& job, const fs::path& file) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        execl("/proc/self/exe", "tr47_bench", "--rss-job", job.c_str(), file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char buf[64] = {};
    const ssize_t n = read(fds[0], buf, sizeof buf - 1);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    FreshRun run;
    if (n <= 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(buf, "%ld %lf", &run.rss, &run.seconds) != 2)
        return {};
    return run;
}

int print_peak(double seconds) {
    // VmHWM, not getrusage: ru_maxrss survives exec and would report the
    // benchmark process that started this job.
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) {
            std::printf("%ld %.6f\n", std::atol(line.c_str() + 6) * 1024L, seconds);
            return 0;
        }
    return 2;
}

// A group by its section name ("Top/Inner"), then each of its values by
// name: what a program that reads its settings does.
ref<cls_INIGroup> group_at(const ref<cls_INI>& doc, std::string_view section) {
    ref<cls_INIGroup> g = doc->ROOT();
    while (!section.empty()) {
        const std::string_view part = section.substr(0, section.find('/'));
        section.remove_prefix(std::min(section.size(), part.size() + 1));
        g = g->CHILDREN()->Item(Variant(part), false);
    }
    return g;
}

// The realistic jobs in a fresh process. The names come from the names file
// beside the input, read into one text and walked in place.
bool realistic_job(const std::string& job, const char* file) {
    const fs::path dir = fs::path(file).parent_path();
    std::string names;
    {
        std::ifstream in(dir / "realistic.names", std::ios::binary);
        names.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Calls each(section, name) for every name, in file order.
    const auto for_each_name = [&](auto&& each) {
        std::string_view rest = names;
        while (!rest.empty()) {
            const std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            std::size_t at = line.find('\t');
            const std::string_view section = line.substr(0, at);
            while (at != std::string_view::npos) {
                const std::size_t next = line.find('\t', at + 1);
                each(section, line.substr(at + 1, next == std::string_view::npos ? next : next - at - 1));
                at = next;
            }
        }
    };
    std::size_t found = 0;
    if (job == "real-import-values" || job == "real-load-values") {
        ref<cls_INI> doc = cls_INI::create();
        if (job == "real-import-values" ? !doc->IMPORT(file, false) : !doc->LOAD(file)) return false;
        std::string_view current;
        ref<cls_INIGroup> group;
        for_each_name([&](std::string_view section, std::string_view name) {
            if (section != current || !group) {
                current = section;
                group = group_at(doc, section);
            }
            found += group->VALUE(std::string(name)).is_empty() ? 0 : 1;
        });
    } else if (job == "real-simpleini-values") {
        CSimpleIniA ini(true);
        if (ini.LoadFile(file) < 0) return false;
        for_each_name([&](std::string_view section, std::string_view name) {
            found += ini.GetValue(std::string(section).c_str(), std::string(name).c_str()) ? 1 : 0;
        });
    } else if (job == "real-inireader-values") {
        INIReader reader(file);
        if (reader.ParseError() != 0) return false;
        for_each_name([&](std::string_view section, std::string_view name) {
            found += reader.Get(std::string(section), std::string(name), "").empty() ? 0 : 1;
        });
    } else {
        return false;
    }
    benchmark::DoNotOptimize(found);
    return found > 0;
}

int rss_job(const std::string& job, const char* file) {
    const auto start = std::chrono::steady_clock::now();
    if (job == "tr47") {
        ref<cls_INI> doc = import_document(file);
        benchmark::DoNotOptimize(doc.get());
    } else if (job == "simpleini") {
        CSimpleIniA ini(true);
        if (ini.LoadFile(file) < 0) return 2;
    } else if (job.rfind("real-", 0) == 0) {
        if (!realistic_job(job, file)) return 2;
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return print_peak(seconds);
    } else if (job == "load" || job == "load-password") {
        ref<cls_INI> doc = cls_INI::create();
        if (!doc->LOAD(file, job == "load" ? "" : kPassword)) return 2;
    } else {
        return 2;
    }
    return print_peak(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// Three fresh processes: the highest peak and the shortest time (a single
// first run on a virtual machine varies by half).
void BM_PeakRSS(benchmark::State& state, const char* job, const fs::path* file, const std::uintmax_t* bytes) {
    FreshRun run;
    for (auto _ : state)
        for (int i = 0; i < 3; ++i) {
            const FreshRun one = fresh_run_of(job, *file);
            if (one.rss < 0) {
                run.rss = -1;
                break;
            }
            run.seconds = i == 0 ? one.seconds : std::min(run.seconds, one.seconds);
            run.rss = std::max(run.rss, one.rss);
        }
    if (run.rss < 0) state.SkipWithError("child failed");
    state.counters["peak_MB"] = double(run.rss) / 1e6;
    state.counters["x_file"] = double(run.rss) / double(*bytes);
    state.counters["fresh_ms"] = run.seconds * 1e3;
}

// --- realistic settings: the same job by every contender, interleaved --------

std::size_t tr47_every_value(const ref<cls_INI>& doc) {
    std::size_t found = 0;
    for (const auto& g : g_real.groups) {
        ref<cls_INIGroup> group = group_at(doc, g.section);
        for (const auto& n : g.names) found += group->VALUE(n).is_empty() ? 0 : 1;
    }
    return found;
}

struct Contender {
    const char* name;
    const std::uintmax_t* bytes;
    // Does the job; the returned keeper holds what it built until the
    // timing has stopped.
    std::function<std::shared_ptr<void>(std::size_t&)> job;
};

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Interleaved {
    std::vector<Contender> contenders;
    std::vector<std::vector<double>> seconds; // [contender][round]
};

Interleaved run_interleaved(int rounds) {
    Interleaved r;
    const std::string structured = g_real.structured.string(), flat = g_real.flat.string(),
                      saved = g_real.saved.string();
    auto tr47_import = [structured](std::size_t& found) {
        ref<cls_INI> doc = import_document(structured);
        found = static_cast<std::size_t>(doc->ROOT()->CHILDREN()->COUNT());
        return std::shared_ptr<void>(doc.get(), [doc](void*) {});
    };
    r.contenders = {
        {"TR47 IMPORT", &g_real.bytes, tr47_import},
        {"inih callback parse", &g_real.flatBytes,
         [flat](std::size_t& found) {
             ini_parse(flat.c_str(), inih_count, &found);
             return std::shared_ptr<void>();
         }},
        {"TR47 IMPORT + VALUE of every name", &g_real.bytes,
         [structured](std::size_t& found) {
             ref<cls_INI> doc = import_document(structured);
             found = tr47_every_value(doc);
             return std::shared_ptr<void>(doc.get(), [doc](void*) {});
         }},
        {"TR47 LOAD + VALUE of every name", &g_real.bytes,
         [saved](std::size_t& found) {
             ref<cls_INI> doc = cls_INI::create();
             if (!doc->LOAD(saved)) std::exit(2);
             found = tr47_every_value(doc);
             return std::shared_ptr<void>(doc.get(), [doc](void*) {});
         }},
        {"SimpleIni LoadFile + GetValue of every key", &g_real.flatBytes,
         [flat](std::size_t& found) {
             auto ini = std::make_shared<CSimpleIniA>(true);
             if (ini->LoadFile(flat.c_str()) < 0) std::exit(2);
             for (const auto& g : g_real.groups)
                 for (const auto& n : g.names) found += ini->GetValue(g.section.c_str(), n.c_str()) ? 1 : 0;
             return std::shared_ptr<void>(ini);
         }},
        {"INIReader + Get of every key", &g_real.flatBytes,
         [flat](std::size_t& found) {
             auto reader = std::make_shared<INIReader>(flat);
             if (reader->ParseError() != 0) std::exit(2);
             for (const auto& g : g_real.groups)
                 for (const auto& n : g.names) found += reader->Get(g.section, n, "").empty() ? 0 : 1;
             return std::shared_ptr<void>(reader);
         }},
        {"PropertyTree read_ini + get of every key", &g_real.flatBytes,
         [flat](std::size_t& found) {
             namespace pt = boost::property_tree;
             auto tree = std::make_shared<pt::ptree>();
             pt::ini_parser::read_ini(flat, *tree);
             for (const auto& g : g_real.groups) {
                 // Section names hold '/': no path separator in them.
                 const pt::ptree& section = tree->get_child(pt::ptree::path_type(g.section, '\x01'));
                 for (const auto& n : g.names)
                     found += section.get<std::string>(pt::ptree::path_type(n, '\x01')).empty() ? 0 : 1;
             }
             return std::shared_ptr<void>(tree);
         }},
    };
    r.seconds.assign(r.contenders.size(), {});
    for (int round = -1; round < rounds; ++round) { // round -1 warms up
        for (std::size_t c = 0; c < r.contenders.size(); ++c) {
            std::size_t found = 0;
            const auto start = std::chrono::steady_clock::now();
            std::shared_ptr<void> keep = r.contenders[c].job(found);
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            benchmark::DoNotOptimize(found);
            keep.reset();
            // Every contender starts from a heap given back to the system.
            malloc_trim(0);
            if (round >= 0) r.seconds[c].push_back(s);
        }
    }
    return r;
}

// Median over the rounds of one contender's time against another's.
double round_ratio(const Interleaved& r, std::size_t slow, std::size_t fast) {
    std::vector<double> ratios;
    for (std::size_t i = 0; i < r.seconds[fast].size(); ++i) {
        // Per megabyte of each one's own file: the flat file is smaller.
        const double f = r.seconds[fast][i] / double(*r.contenders[fast].bytes);
        const double sl = r.seconds[slow][i] / double(*r.contenders[slow].bytes);
        ratios.push_back(sl / f);
    }
    return median(ratios);
}

// Wall time of a fresh process (fork, exec, wait), its output discarded.
double spawn_seconds(const std::vector<std::string>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

void print_realistic(int rounds) {
    if (g_real.bytes == 0) return;
    const Interleaved r = run_interleaved(rounds);
    std::printf(
        "\nRealistic settings: %.1f MB structured, %.1f MB flat, %zu groups; %d timed rounds after one "
        "warm-up round, contenders interleaved within each round, heap trimmed (malloc_trim) after each "
        "contender outside the timing; glibc M_MMAP_THRESHOLD %d, M_TRIM_THRESHOLD %d.\n\n",
        double(g_real.bytes) / 1e6, double(g_real.flatBytes) / 1e6, g_real.groups.size(), rounds, kMmapThreshold,
        kTrimThreshold);
    std::printf("| Contender | median time | MB/s |\n|---|---|---|\n");
    for (std::size_t c = 0; c < r.contenders.size(); ++c) {
        const double m = median(r.seconds[c]);
        std::printf("| %s | %.1f ms | %.1f |\n", r.contenders[c].name, m * 1e3,
                    m > 0 ? double(*r.contenders[c].bytes) / 1e6 / m : 0.0);
    }
    std::printf("\n| Measure (median of per-round ratios) | Figure | Target | Met |\n|---|---|---|---|\n");
    const auto row = [](const std::string& what, double figure, const char* target, bool met) {
        std::printf("| %s | %.2fx | %s | %s |\n", what.c_str(), figure, target, met ? "yes" : "no");
    };
    double fastestPeer = 1e300;
    std::size_t fastest = 4;
    for (std::size_t c = 4; c < r.contenders.size(); ++c) {
        const double ratio = round_ratio(r, c, 2);
        row(std::string("IMPORT + VALUE against ") + r.contenders[c].name, ratio, "(each)", true);
        if (ratio < fastestPeer) fastestPeer = ratio, fastest = c;
    }
    row(std::string("IMPORT + VALUE against the fastest peer (") + r.contenders[fastest].name + ")", fastestPeer,
        ">= 3x", fastestPeer >= 3);
    const double vsInih = round_ratio(r, 1, 0);
    row("IMPORT against inih's callback-only parse", vsInih, ">= 1.5x", vsInih >= 1.5);
    const double loadVsImport = round_ratio(r, 2, 3);
    row("LOAD + VALUE against IMPORT + VALUE", loadVsImport, ">= 3x", loadVsImport >= 3);

    // Peak memory of fresh processes doing the whole job.
    const auto peak = [&](const char* job, const fs::path& file, std::uintmax_t bytes, const char* what,
                          const char* target, double limit) {
        long rss = -1;
        for (int i = 0; i < 3; ++i) rss = std::max(rss, fresh_run_of(job, file).rss);
        if (rss < 0) {
            std::printf("| %s | failed | %s | no |\n", what, target);
            return;
        }
        const double x = double(rss) / double(bytes);
        std::printf("| %s | %.2fx (%.0f MB) | %s | %s |\n", what, x, double(rss) / 1e6, target,
                    limit <= 0 || x <= limit ? "yes" : "no");
    };
    peak("real-import-values", g_real.structured, g_real.bytes, "peak RSS / file, IMPORT + VALUE of every name",
         "<= 2.5x", 2.5);
    peak("real-load-values", g_real.saved, g_real.bytes, "peak RSS / file, LOAD + VALUE of every name", "<= 2.5x", 2.5);
    peak("real-simpleini-values", g_real.flat, g_real.flatBytes, "peak RSS / file, SimpleIni + GetValue", "(reference)",
         0);
    peak("real-inireader-values", g_real.flat, g_real.flatBytes, "peak RSS / file, INIReader + Get", "(reference)", 0);

    // Start-up: `tr47ini get` against the smallest INIReader program, both
    // on a 2 KB file, fresh processes interleaved.
    std::vector<double> ratios, tr, peer;
    const std::string name = g_real.smallName;
    for (int i = -3; i < 31; ++i) {
        const double a = spawn_seconds({TR47_CLI, "get", g_real.small.string(), name});
        const double b = spawn_seconds({TR47_INIREADER_GET, g_real.smallFlat.string(), g_real.smallSection, name});
        if (a < 0 || b < 0) {
            std::printf("| start-up | failed | | no |\n");
            return;
        }
        if (i < 0) continue;
        tr.push_back(a), peer.push_back(b), ratios.push_back(a / b);
    }
    const double startup = median(ratios);
    std::printf(
        "| fresh `tr47ini get` on a 2 KB file against INIReader (%.2f ms against %.2f ms) | %.2fx | <= 1.3x "
        "| %s |\n",
        median(tr) * 1e3, median(peer) * 1e3, startup, startup <= 1.3 ? "yes" : "no");
}

// --- summary -----------------------------------------------------------------

struct Figures {
    double seconds = 0; // real time per iteration
    double counter = 0; // x_file for memory runs
    double fresh = 0; // the job's seconds in the fresh process
};

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, Figures> runs;
    void ReportRuns(const std::vector<Run>& reports) override {
        ConsoleReporter::ReportRuns(reports);
        for (const auto& r : reports) {
            if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
            Figures f;
            f.seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            if (auto it = r.counters.find("x_file"); it != r.counters.end()) f.counter = it->second;
            if (auto it = r.counters.find("fresh_ms"); it != r.counters.end()) f.fresh = it->second / 1e3;
            // The registered name and its arguments, without the run options.
            std::string name = r.run_name.function_name;
            if (!r.run_name.args.empty()) name += "/" + r.run_name.args;
            runs[name] = f;
        }
    }
    double seconds(const std::string& name) const {
        auto it = runs.find(name);
        return it == runs.end() ? 0 : it->second.seconds;
    }
};

void print_summary(const SummaryReporter& rep) {
    const auto mbps = [&](const std::string& name, std::uintmax_t bytes) {
        const double s = rep.seconds(name);
        return s > 0 ? double(bytes) / 1e6 / s : 0.0;
    };
    std::printf("\n| Measure | Figure | Target | Met |\n|---|---|---|---|\n");
    const auto row = [](const char* what, double figure, const char* unit, const char* target, bool met) {
        std::printf("| %s | %.2f%s | %s | %s |\n", what, figure, unit, target, met ? "yes" : "no");
    };
    const double tr = mbps("Import/TR47/groups", g_in.structuredBytes);
    const double inih = mbps("Import/inih/groups", g_in.flatBytes);
    const double simple = mbps("Import/SimpleIni/groups", g_in.flatBytes);
    const double ptree = mbps("Import/PropertyTree/groups", g_in.flatBytes);
    std::printf("| TR47 import, %u groups of 10 values | %.1f MB/s | | |\n", g_in.groups, tr);
    std::printf("| inih callback parse | %.1f MB/s | | |\n| SimpleIni load | %.1f MB/s | | |\n", inih, simple);
    std::printf("| PropertyTree read_ini | %.1f MB/s | | |\n", ptree);
    if (simple > 0) row("TR47 / SimpleIni speed", tr / simple, "x", ">= 3x", tr / simple >= 3);
    if (inih > 0) row("TR47 / inih speed", tr / inih, "x", ">= 0.5x", tr / inih >= 0.5);
    if (ptree > 0) row("TR47 / PropertyTree speed", tr / ptree, "x", "(reference)", true);
    const double big = mbps("Import/TR47/one_group", g_in.bigStructuredBytes);
    const double bigSimple = mbps("Import/SimpleIni/one_group", g_in.bigFlatBytes);
    std::printf("| TR47 import, one group of %u values | %.1f MB/s | | |\n", g_in.big, big);
    if (bigSimple > 0) row("TR47 / SimpleIni speed, one group", big / bigSimple, "x", ">= 3x", big / bigSimple >= 3);
    const double v10 = rep.seconds("BM_Value_ByName/10"), v100k = rep.seconds("BM_Value_ByName/100000");
    if (v10 > 0) row("VALUE time, 100000 values / 10 values", v100k / v10, "x", "<= 2x", v100k / v10 <= 2);
    const double c10k = rep.seconds("BM_Create_Values/10000") / 1e4;
    const double c1m = rep.seconds("BM_Create_Values/1000000") / 1e6;
    if (c10k > 0 && c1m > 0) row("CREATE time per value, 1M / 10k", c1m / c10k, "x", "~1x (linear)", c1m / c10k <= 2);
    const double imp = rep.seconds("Import/TR47/groups");
    for (const char* name : {"Load/plain", "Load/password"}) {
        const double s = rep.seconds(name);
        if (s > 0 && imp > 0) {
            const std::string what = std::string("IMPORT time / LOAD time (") + (name + 5) + ")";
            row(what.c_str(), imp / s, "x", ">= 3x", imp / s >= 3);
        }
    }
    const double kdf = rep.seconds("KeyDerivation");
    if (const double pw = rep.seconds("Load/password"); pw > kdf && kdf > 0 && imp > 0)
        row("IMPORT time / LOAD time (password) without the key derivation", imp / (pw - kdf), "x",
            "(reference: the work factor is deliberate)", true);
    if (kdf > 0)
        std::printf("| key derivation (PBKDF2, 600,000 iterations in four lanes) | %.0f ms | | |\n", kdf * 1e3);
    const double ti = rep.seconds("Touch/after_import"), tl = rep.seconds("Touch/after_load");
    if (ti > 0) std::printf("| IMPORT, then every value reached | %.0f ms | (reference) | |\n", ti * 1e3);
    if (tl > 0) std::printf("| LOAD, then every value reached | %.0f ms | (reference) | |\n", tl * 1e3);
    for (const char* name : {"PeakRSS/TR47/groups", "PeakRSS/TR47/one_group"}) {
        auto it = rep.runs.find(name);
        if (it != rep.runs.end()) {
            const std::string what = std::string("import peak RSS / file size (") + (name + 13) + ")";
            row(what.c_str(), it->second.counter, "x", "<= 4x", it->second.counter <= 4);
        }
    }
    if (auto it = rep.runs.find("PeakRSS/SimpleIni/groups"); it != rep.runs.end())
        row("SimpleIni peak RSS / file size", it->second.counter, "x", "(reference)", true);
    // The first IMPORT and LOAD of a process, against each other.
    const auto fresh = [&](const char* name) {
        auto it = rep.runs.find(name);
        return it == rep.runs.end() ? 0.0 : it->second.fresh;
    };
    const double freshImport = fresh("PeakRSS/TR47/groups");
    for (const char* name : {"Fresh/load_plain", "Fresh/load_password"}) {
        const double s = fresh(name);
        if (s > 0 && freshImport > 0) {
            const std::string what =
                std::string("IMPORT time / LOAD time, each first in a fresh process (") + (name + 11) + ")";
            row(what.c_str(), freshImport / s, "x", "(reference)", true);
        }
    }
    std::printf("\nfiles: structured %.1f MB, flat %.1f MB; one group %.1f MB\n", double(g_in.structuredBytes) / 1e6,
                double(g_in.flatBytes) / 1e6, double(g_in.bigStructuredBytes) / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    // The same allocator settings for every contender and every process:
    // glibc's thresholds otherwise move with what ran before.
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
    if (argc == 4 && std::string(argv[1]) == "--rss-job") return rss_job(argv[2], argv[3]);
    benchmark::Initialize(&argc, argv);
    prepare();

    using benchmark::kMillisecond;
    // Three runs each: one cold run alone says more about the page cache and
    // the allocator than about the code.
    const auto heavy = [](benchmark::internal::Benchmark* b) { b->Unit(kMillisecond)->UseRealTime()->Iterations(3); };
    heavy(benchmark::RegisterBenchmark("Import/TR47/groups", BM_Import_TR47, &g_in.structured, &g_in.structuredBytes));
    heavy(benchmark::RegisterBenchmark("Import/inih/groups", BM_Parse_inih, &g_in.flat, &g_in.flatBytes));
    heavy(benchmark::RegisterBenchmark("Import/SimpleIni/groups", BM_Load_SimpleIni, &g_in.flat, &g_in.flatBytes));
    heavy(
        benchmark::RegisterBenchmark("Import/PropertyTree/groups", BM_Read_PropertyTree, &g_in.flat, &g_in.flatBytes));
    heavy(benchmark::RegisterBenchmark("Import/TR47/one_group", BM_Import_TR47, &g_in.bigStructured,
                                       &g_in.bigStructuredBytes));
    heavy(benchmark::RegisterBenchmark("Import/inih/one_group", BM_Parse_inih, &g_in.bigFlat, &g_in.bigFlatBytes));
    heavy(benchmark::RegisterBenchmark("Import/SimpleIni/one_group", BM_Load_SimpleIni, &g_in.bigFlat,
                                       &g_in.bigFlatBytes));
    benchmark::RegisterBenchmark("BM_Value_ByName", BM_Value_ByName)->Arg(10)->Arg(100000);
    benchmark::RegisterBenchmark("BM_Value_Recursive", BM_Value_Recursive)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_Create_Values", BM_Create_Values)
        ->RangeMultiplier(10)
        ->Range(10000, 1000000)
        ->Complexity(benchmark::oN)
        ->Unit(kMillisecond);
    heavy(benchmark::RegisterBenchmark("Save/plain", BM_Save, ""));
    heavy(benchmark::RegisterBenchmark("Save/password", BM_Save, kPassword));
    heavy(benchmark::RegisterBenchmark("Load/plain", BM_Load, &g_in.saved, ""));
    heavy(benchmark::RegisterBenchmark("Load/password", BM_Load, &g_in.savedPw, kPassword));
    heavy(benchmark::RegisterBenchmark("Touch/after_import", BM_Touch, false));
    heavy(benchmark::RegisterBenchmark("Touch/after_load", BM_Touch, true));
    heavy(benchmark::RegisterBenchmark("KeyDerivation", BM_KeyDerivation));
    const auto once = [](benchmark::internal::Benchmark* b) { b->Iterations(1)->Unit(kMillisecond)->UseRealTime(); };
    once(benchmark::RegisterBenchmark("PeakRSS/TR47/groups", BM_PeakRSS, "tr47", &g_in.structured,
                                      &g_in.structuredBytes));
    once(benchmark::RegisterBenchmark("PeakRSS/TR47/one_group", BM_PeakRSS, "tr47", &g_in.bigStructured,
                                      &g_in.bigStructuredBytes));
    once(
        benchmark::RegisterBenchmark("PeakRSS/SimpleIni/groups", BM_PeakRSS, "simpleini", &g_in.flat, &g_in.flatBytes));
    once(benchmark::RegisterBenchmark("Fresh/load_plain", BM_PeakRSS, "load", &g_in.saved, &g_in.structuredBytes));
    once(benchmark::RegisterBenchmark("Fresh/load_password", BM_PeakRSS, "load-password", &g_in.savedPw,
                                      &g_in.structuredBytes));

    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_summary(reporter);
    print_realistic(static_cast<int>(env_size("TR47_BENCH_ROUNDS", 5)));
    benchmark::Shutdown();
    std::error_code ec;
    fs::remove_all(g_in.dir, ec);
    return 0;
}
