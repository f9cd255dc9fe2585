// Apartment threading as the registration (ThreadingModel=Apartment)
// promises it, tried the way a Windows host uses an in-process server.
// Two runs, each a process of its own, as a thread that does not end
// stops the rest of its process:
//   worker:     a worker thread that is the only user of the DLL creates
//               and releases one object and ends; the DLL is gone with its
//               apartment;
//   apartments: two apartment threads work with documents of their own at
//               the same time (import, look-ups, walks, SAVE and LOAD with a
//               password); DllCanUnloadNow is exact afterwards and
//               CoFreeUnusedLibraries unloads the DLL; it loads again and
//               works; then the worker run once more, after the unload.
// Every wait has a time limit; a thread that does not end is a failure,
// and the process then ends itself, as it could not exit cleanly. The run
// script checks that the process exits in time.
//
// threads.exe worker|apartments EXAMPLE.ini SCRATCH   (under Wine, after regsvr32)
#include "client_support.hpp"

#include <cmath>

using namespace client;

namespace {

constexpr DWORD kWorkerLimitMs = 30000;
constexpr DWORD kApartmentLimitMs = 240000;
constexpr int kDocuments = 40; // per apartment thread
constexpr int kLookups = 250; // per document
constexpr int kStoreEvery = 6; // SAVE and LOAD with a password

struct Context {
    std::string example, scratch;
    HANDLE go = nullptr; // releases both apartment threads at once
    const char* name = "";
    ULONGLONG started = 0, ended = 0; // of the apartment's work, in ms
};

bool loaded() { return GetModuleHandleW(L"TR47_INI.dll") != nullptr; }

double number(const Var& v) {
    switch (v.vt()) {
    case VT_I4: return v.raw().lVal;
    case VT_R8: return v.raw().dblVal;
    default: return std::nan("");
    }
}

Ptr<IDispatch> create(const char* progid) {
    Ptr<IDispatch> p;
    const HRESULT h = create_object(progid, IID_IDispatch, p.put_void());
    if (h != S_OK) report_failure(__FILE__, __LINE__, std::string("creating ") + progid + " returned " + hex(h));
    return p;
}

// One document's work: what a client does with a settings file.
void use_document(const Context& c, int index) {
    Ptr<IDispatch> doc = create("TR47_INI.cls_INI");
    if (!doc) return;
    Result r = call(doc.get(), "IMPORT", {Var::str(c.example), Var::boolean(false)});
    CHECK_HR(r.hr, S_OK);
    CHECK_EQ(show(r.value), std::string("Boolean True"));
    Ptr<IDispatch> root = get_object(doc.get(), "ROOT");
    Ptr<IDispatch> children = root ? get_object(root.get(), "CHILDREN") : Ptr<IDispatch>();
    Ptr<IDispatch> values = root ? get_object(root.get(), "VALUES") : Ptr<IDispatch>();
    CHECK(children && values);
    if (!children || !values) return;
    for (int k = 0; k < kLookups; ++k) {
        CHECK_EQ(call(doc.get(), "VALUE", {Var::str("Face")}).value.str_value(), std::string("Arial"));
        CHECK_EQ(number(call(doc.get(), "VALUE", {Var::str("Port")}).value), 8080.0);
        Ptr<IDispatch> g = get_object(children.get(), "Item", {Var::i4(1 + k % 2)});
        CHECK(g);
        Ptr<IDispatch> v = get_object(values.get(), "Item", {Var::i4(1 + k % 14)});
        CHECK(v && call(v.get(), "NAME").hr == S_OK);
    }
    // A change of this thread's own document stays its own.
    Result created = call(values.get(), "CREATE", {Var::str("Thread"), Var::str(c.name)});
    CHECK_HR(created.hr, S_OK);
    CHECK_EQ(call(doc.get(), "VALUE", {Var::str("Thread")}).value.str_value(), std::string(c.name));
    if (index % kStoreEvery == 0) {
        const std::string file = c.scratch + "\\" + c.name + "-" + std::to_string(index) + ".dat";
        r = call(doc.get(), "SAVE", {Var::str(file), Var::str(c.name)});
        CHECK_EQ(show(r.value), std::string("Boolean True"));
        Ptr<IDispatch> other = create("TR47_INI.cls_INI");
        if (!other) return;
        r = call(other.get(), "LOAD", {Var::str(file), Var::str(c.name)});
        CHECK_EQ(show(r.value), std::string("Boolean True"));
        CHECK_EQ(call(other.get(), "VALUE", {Var::str("Thread")}).value.str_value(), std::string(c.name));
        CHECK_EQ(call(other.get(), "VALUE", {Var::str("Host")}).value.str_value(), std::string("example.org"));
    }
}

DWORD WINAPI apartment_thread(LPVOID p) {
    Context& c = *static_cast<Context*>(p);
    t_label = c.name;
    CHECK_HR(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    if (WaitForSingleObject(c.go, kApartmentLimitMs) != WAIT_OBJECT_0)
        report_failure(__FILE__, __LINE__, "start signal never came");
    c.started = GetTickCount64();
    guarded([&] {
        for (int i = 0; i < kDocuments; ++i) use_document(c, i);
    });
    c.ended = GetTickCount64();
    CoUninitialize();
    return 0;
}

DWORD WINAPI worker_thread(LPVOID p) {
    t_label = static_cast<const Context*>(p)->name;
    CHECK_HR(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    guarded([&] {
        Ptr<IDispatch> doc = create("TR47_INI.cls_INI");
        if (doc)
            CHECK_EQ(show(call(doc.get(), "VALUE", {Var::str("x"), Var::str("y")}).value), std::string("String \"y\""));
    });
    CoUninitialize();
    return 0;
}

// Waits for a thread; false (reported) when it has not ended in time.
bool joined(HANDLE thread, DWORD limitMs, const char* what) {
    const DWORD w = WaitForSingleObject(thread, limitMs);
    if (w == WAIT_OBJECT_0) return true;
    report_failure(__FILE__, __LINE__,
                   std::string(what) + " did not end within " + std::to_string(limitMs / 1000) + " s (wait result " +
                       hex(w) + ")");
    return false;
}

// A thread that will not end keeps the process from exiting: report and
// end it here, with a failure status.
[[noreturn]] void give_up() {
    finish("threads");
    TerminateProcess(GetCurrentProcess(), 1);
    ExitProcess(1);
}

void worker_alone(const Context& worker) {
    step("a worker thread, the only user of the DLL, ends", [&] {
        CHECK(!loaded());
        HANDLE t = CreateThread(nullptr, 0, worker_thread, const_cast<Context*>(&worker), 0, nullptr);
        CHECK(t != nullptr);
        if (!t) return;
        const bool ended = joined(t, kWorkerLimitMs, "the worker thread");
        CloseHandle(t);
        if (!ended) give_up();
        // Its apartment was the only one holding the DLL.
        CHECK(!loaded());
    });
}

void apartments(const char* example, const char* scratch) {
    Ptr<IDispatch> held;
    step("two apartments at the same time", [&] {
        // This apartment holds an object throughout, so the DLL stays
        // loaded here until CoFreeUnusedLibraries.
        held = create("TR47_INI.cls_INI");
        CHECK(held);
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        Context a{example, scratch, go, "apartment A"}, b{example, scratch, go, "apartment B"};
        HANDLE ta = CreateThread(nullptr, 0, apartment_thread, &a, 0, nullptr);
        HANDLE tb = CreateThread(nullptr, 0, apartment_thread, &b, 0, nullptr);
        CHECK(ta && tb);
        SetEvent(go);
        const bool endedA = !ta || joined(ta, kApartmentLimitMs, "apartment A");
        const bool endedB = !tb || joined(tb, kApartmentLimitMs, "apartment B");
        if (ta) CloseHandle(ta);
        if (tb) CloseHandle(tb);
        CloseHandle(go);
        if (!endedA || !endedB) give_up();
        std::printf("apartment A worked %llu ms, B %llu ms\n", a.ended - a.started, b.ended - b.started);
        // Otherwise this step did not try what it is for.
        CHECK(a.started < b.ended && b.started < a.ended);
    });

    step("DllCanUnloadNow and CoFreeUnusedLibraries", [&] {
        CHECK(loaded());
        CHECK_HR(can_unload_now(), S_FALSE);
        held.reset();
        CHECK_HR(can_unload_now(), S_OK);
        CoFreeUnusedLibraries();
        CHECK(!loaded());
    });

    step("the DLL loads again and works", [&] {
        {
            Ptr<IDispatch> doc = create("TR47_INI.cls_INI");
            if (doc) {
                Result r = call(doc.get(), "IMPORT", {Var::str(example), Var::boolean(false)});
                CHECK_EQ(show(r.value), std::string("Boolean True"));
                CHECK_EQ(call(doc.get(), "VALUE", {Var::str("Host")}).value.str_value(), std::string("example.org"));
            }
        }
        CHECK_HR(can_unload_now(), S_OK);
        CoFreeUnusedLibraries();
        CHECK(!loaded());
    });
}

} // namespace

int main(int argc, char** argv) {
    start_watchdog(280);
    const std::string mode = argc == 4 ? argv[1] : "";
    if (mode != "worker" && mode != "apartments") {
        std::printf("usage: threads worker|apartments EXAMPLE.ini SCRATCH\n");
        return 2;
    }
    const Context worker{argv[2], argv[3], nullptr, "worker"};
    CHECK_HR(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    if (mode == "apartments") apartments(argv[2], argv[3]);
    worker_alone(worker);
    CoUninitialize();
    // The run script checks that the process exits after this line.
    return finish(mode == "worker" ? "threads (worker)" : "threads (apartments)");
}
