#include "winapi/machine/network_cache.h"

#include <atomic>
#include <optional>

namespace winapi::machine {
namespace {

const char* const kCachedTables[] = {"computers", "drives", "faults", "settings"};

// Which outermost call is running (0: none on this thread). A new call
// gets a new number, so a look taken for one call never serves the next.
std::atomic<uint64_t> nextCallNumber{1};
thread_local int callDepth = 0;
thread_local uint64_t currentCall = 0;
// While a directory search is open a walk is under way, and the calls the
// host makes between two entries of it form one step that shares one look.
thread_local int openWalks = 0;
thread_local uint64_t currentStep = 0;
// Steps marked by the object a call names (SetNamedSteps).
std::atomic<bool> namedSteps{false};
thread_local std::wstring lastNamedObject;

// The number under which a look at the database stays good: none outside
// a Win32 call, else the walk's step, else the outermost call.
uint64_t LookScope() {
    if (callDepth == 0) return 0;
    const bool stepped = openWalks > 0 || namedSteps.load(std::memory_order_relaxed);
    return stepped && currentStep != 0 ? currentStep : currentCall;
}

// Moves each time the cached rows are read again or dropped.
std::atomic<uint64_t> rowsGeneration{1};

// This thread's last look through CurrentNetwork(): in which scope, and
// what the process's row changes and the rows' generation were then.
struct ThreadLook {
    uint64_t scope = 0;
    uint64_t processChanges = 0;
    uint64_t generation = 0;
};
thread_local ThreadLook threadLook;

struct CacheState {
    std::optional<CachedNetwork> rows;
    int64_t otherVersion = 0;
    uint64_t ownChanges = 0;
    uint64_t allOwnChanges = 0;  // the connection's changes to any table when last compared
    uint64_t checkedInCall = 0;  // the call whose look is still good
};

CacheState& State() {
    static CacheState state;
    return state;
}

uint64_t OwnChangesToCachedTables(const Store& store) {
    uint64_t sum = 0;
    for (const char* table : kCachedTables) sum += store.OwnChanges(table);
    return sum;
}

CachedNetwork ReadNetwork(Store& store) {
    CachedNetwork network;
    network.computers = AllComputers();
    {
        Query q = store.Prepare("SELECT computer_id, letter, directory FROM drives WHERE directory <> ''");
        while (q.Step()) {
            std::wstring letter = q.WText(1);
            if (letter.size() == 1) network.driveDirectories[{q.Int(0), letter[0]}] = q.Text(2);
        }
    }
    network.anyFaults = store.Prepare("SELECT 1 FROM faults LIMIT 1").Step();
    network.diskFull = store.Prepare("SELECT 1 FROM settings WHERE name = 'disk_full'").Step();
    {
        Query q = store.Prepare("SELECT value FROM settings WHERE name = 'samba_config'");
        if (q.Step()) network.sambaConfig = q.Text(0);
    }
    return network;
}

}  // namespace

const CachedNetwork& CurrentNetwork() {
    std::lock_guard guard(MachineLock());
    Store& store = CurrentStore();
    CacheState& state = State();
    int64_t otherVersion = state.otherVersion;
    const uint64_t scope = LookScope();
    if (scope == 0 || state.checkedInCall != scope || !state.rows) {
        otherVersion = store.OtherConnectionsVersion();
        state.checkedInCall = scope;
    } else if (store.AllOwnChanges() == state.allOwnChanges) {
        // Called several times a step: nothing this connection did since
        // the last call can have touched the cached tables.
        return *state.rows;
    }
    // While the connection's count of changes to any table stands still,
    // so do its counts for the cached tables.
    uint64_t ownChanges = state.ownChanges;
    if (!state.rows || store.AllOwnChanges() != state.allOwnChanges) {
        state.allOwnChanges = store.AllOwnChanges();
        ownChanges = OwnChangesToCachedTables(store);
    }
    if (!state.rows || otherVersion != state.otherVersion || ownChanges != state.ownChanges) {
        state.rows.reset();
        rowsGeneration.fetch_add(1);
        state.rows = ReadNetwork(store);
        state.otherVersion = otherVersion;
        state.ownChanges = ownChanges;
    }
    return *state.rows;
}

void ForgetCachedNetwork() {
    std::lock_guard guard(MachineLock());
    State() = CacheState();
    rowsGeneration.fetch_add(1);
}

uint64_t NetworkGeneration() {
    const uint64_t scope = LookScope();
    ThreadLook& look = threadLook;
    // The rows CurrentNetwork() would give again: it looked at other
    // connections in this scope already, this process changed no row
    // since (its own writes would be read back), and no thread read the
    // rows again or dropped them.
    if (scope != 0 && look.scope == scope && look.processChanges == Store::ProcessChanges() &&
        look.generation == rowsGeneration.load()) {
        return look.generation;
    }
    std::lock_guard guard(MachineLock());
    const uint64_t changes = Store::ProcessChanges();
    CurrentNetwork();
    look = {scope, changes, rowsGeneration.load()};
    return look.generation;
}

NetworkCallScope::NetworkCallScope() noexcept {
    if (callDepth++ == 0) currentCall = nextCallNumber.fetch_add(1);
}

NetworkCallScope::~NetworkCallScope() {
    if (--callDepth == 0) currentCall = 0;
}

WalkUnderway::WalkUnderway() noexcept { ++openWalks; }

WalkUnderway::~WalkUnderway() {
    if (--openWalks == 0) currentStep = 0;
}

bool SearchOpen() noexcept { return openWalks > 0; }

void BeginWalkStep() noexcept { currentStep = nextCallNumber.fetch_add(1); }

uint64_t CurrentStep() noexcept {
    const bool stepped = openWalks > 0 || namedSteps.load(std::memory_order_relaxed);
    return stepped ? currentStep : 0;
}

void SetNamedSteps(bool on) noexcept {
    namedSteps.store(on);
    lastNamedObject.clear();
    currentStep = 0;
}

void BeginNamedStep(std::wstring_view objectName) {
    if (!namedSteps.load(std::memory_order_relaxed) || openWalks > 0) return;
    if (currentStep != 0 && objectName == lastNamedObject) return;
    lastNamedObject.assign(objectName);
    currentStep = nextCallNumber.fetch_add(1);
}

}  // namespace winapi::machine
