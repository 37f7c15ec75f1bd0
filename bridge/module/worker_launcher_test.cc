#include "bridge/module/worker_launcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/thread_gate.h"

namespace risk {
namespace {

using Events = std::vector<std::string>;

// What the starts of one test went through, in the order it happened: "run
// i" (the operation ran), "resolve i <text>", "release i" (what the resolve
// call held is gone).
class Journal {
 public:
  void note(std::string event) {
    MutexLock lock(&mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }

  // Waits until count events have been noted. Only a hang guard: false when
  // they have not after a minute, which no correct launcher comes near.
  bool wait_for(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    MutexLock lock(&mutex_);
    while (events_.size() < count) {
      if (!changed_.wait_until(deadline) && std::chrono::steady_clock::now() >= deadline) {
        return false;
      }
    }
    return true;
  }

  Events events() {
    MutexLock lock(&mutex_);
    return events_;
  }

 private:
  Mutex mutex_;
  CondVar changed_{&mutex_};
  Events events_ GUARDED_BY(mutex_);
};

// Stands for what the module's resolve call holds (the script-thread
// hold): notes when it is given back.
struct Held {
  Held(Journal* journal, int id) : journal(journal), id(id) {}
  ~Held() { journal->note("release " + std::to_string(id)); }
  Journal* journal;
  int id;
};

// One start: its own gate, an operation, and a resolve call that notes its
// text. The resolve call first closes the start's gate and waits for its
// passes, as the SDK's owner may do on the script thread while a worker
// resolves through it: that only returns when the pass was given back
// before the promise is resolved (else the test hangs until its guard).
struct StartPlan {
  int id;
  WorkerOperation operation;
  bool resolve_throws = false;
};

std::unique_ptr<WorkerStart> make_start(Journal* journal, ThreadGate* gate, StartPlan plan) {
  auto start = std::make_unique<WorkerStart>();
  start->name = "testNative";
  start->pass = gate->enter();
  start->operation = std::move(plan.operation);
  auto held = std::make_shared<Held>(journal, plan.id);
  const int id = plan.id;
  const bool throws = plan.resolve_throws;
  start->resolve = [journal, gate, held, id, throws](const std::string& text) {
    gate->close_and_wait();
    journal->note("resolve " + std::to_string(id) + " " + text);
    if (throws) throw std::runtime_error("resolve broke");
  };
  return start;
}

void detached(std::function<void()> body) { std::thread(std::move(body)).detach(); }
// Runs a worker's body on the thread that starts it (the launcher's), so
// that the workers of a test run one after another in launch order.
void inline_worker(std::function<void()> body) { body(); }
void no_thread(std::function<void()>) {
  throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

// Launchers are never destroyed once their thread runs (as the process's
// is not), and neither are the journals and gates their threads use: after
// a failed test such a thread may still be using them (or be blocked on
// one). They are kept here for the life of the process.
template <typename T>
T* kept(std::unique_ptr<T> object) {
  static auto* objects = new std::vector<std::shared_ptr<void>>;
  objects->push_back(std::shared_ptr<T>(std::move(object)));
  return static_cast<T*>(objects->back().get());
}
Journal& new_journal() { return *kept(std::make_unique<Journal>()); }
ThreadGate* new_gates(size_t count) {
  return kept(std::make_unique<std::vector<ThreadGate>>(count))->data();
}
// Without a linger every start has a thread of its own, created for it.
WorkerLauncher* new_launcher(WorkerLauncher::ThreadStarter start_launcher,
                             WorkerLauncher::ThreadStarter start_worker,
                             std::chrono::milliseconds idle_linger = {}) {
  return kept(std::make_unique<WorkerLauncher>(std::move(start_launcher), std::move(start_worker),
                                               idle_linger));
}

WorkerOperation returns(std::string text) {
  return [text] { return text; };
}

TEST(WorkerLauncher, StartsWorkerThreadsInCallOrderResolvingEachOnceAfterItsPass) {
  Journal& journal = new_journal();
  WorkerLauncher* launcher = new_launcher(detached, inline_worker);
  constexpr int kStarts = 8;
  ThreadGate* gates = new_gates(kStarts);
  for (int i = 0; i < kStarts; ++i) {
    auto start = make_start(&journal, &gates[i], {i, returns("r" + std::to_string(i))});
    ASSERT_TRUE(launcher->try_launch(start));
    EXPECT_EQ(nullptr, start) << "the launcher owns a queued start";
  }
  ASSERT_TRUE(journal.wait_for(2 * kStarts));
  Events expected;
  for (int i = 0; i < kStarts; ++i) {
    expected.push_back("resolve " + std::to_string(i) + " r" + std::to_string(i));
    expected.push_back("release " + std::to_string(i));
  }
  EXPECT_EQ(expected, journal.events());
}

// Whatever a worker's operation or resolve call throws stays in that
// worker: its start is resolved ("" for a failed operation) and released,
// and the launcher goes on with the next.
TEST(WorkerLauncher, AThrowInAWorkerThreadIsContained) {
  Journal& journal = new_journal();
  WorkerLauncher* launcher = new_launcher(detached, inline_worker);
  const StartPlan plans[] = {
      {0, []() -> std::string { throw std::runtime_error("operation broke"); }},
      {1, []() -> std::string { throw 42; }},
      {2, returns("x"), /*resolve_throws=*/true},
      {3, returns("ok")},
  };
  ThreadGate* gates = new_gates(std::size(plans));
  for (const StartPlan& plan : plans) {
    auto start = make_start(&journal, &gates[plan.id], plan);
    ASSERT_TRUE(launcher->try_launch(start));
  }
  ASSERT_TRUE(journal.wait_for(8));
  const Events expected = {"resolve 0 ",  "release 0", "resolve 1 ",   "release 1",
                           "resolve 2 x", "release 2", "resolve 3 ok", "release 3"};
  EXPECT_EQ(expected, journal.events());
}

// A worker the launcher cannot create: its operation never runs, its start
// is resolved with "" from the launcher thread (after its pass), released,
// and the next start is launched as usual.
TEST(WorkerLauncher, WorkerThreadThatCannotStartIsResolvedWithEmptyText) {
  Journal& journal = new_journal();
  int worker_calls = 0;  // touched by the launcher thread only
  WorkerLauncher* launcher = new_launcher(detached, [&worker_calls](std::function<void()> body) {
    if (++worker_calls == 2) no_thread(std::move(body));
    body();
  });
  ThreadGate* gates = new_gates(3);
  for (int i = 0; i < 3; ++i) {
    const std::string id = std::to_string(i);
    auto start = make_start(&journal, &gates[i], {i, [&journal, id] {
                                                    journal.note("run " + id);
                                                    return "r" + id;
                                                  }});
    ASSERT_TRUE(launcher->try_launch(start));
  }
  ASSERT_TRUE(journal.wait_for(8));
  const Events expected = {"run 0",     "resolve 0 r0", "release 0",    "resolve 1 ",
                           "release 1", "run 2",        "resolve 2 r2", "release 2"};
  EXPECT_EQ(expected, journal.events());
}

// Failures before a start is handed over leave it, untouched, with its
// caller: the launcher thread cannot be started (a later call tries
// again), or a worker started by the caller itself cannot be.
TEST(WorkerLauncher, ThreadThatCannotStartLeavesTheStartWithItsCaller) {
  Journal& journal = new_journal();
  ThreadGate& gate = *new_gates(1);
  int launcher_calls = 0;  // try_launch calls it under the launcher's lock
  WorkerLauncher* launcher = new_launcher(
      [&launcher_calls](std::function<void()> body) {
        if (++launcher_calls == 1) no_thread(std::move(body));
        detached(std::move(body));
      },
      no_thread);
  auto start = make_start(&journal, &gate, {0, returns("r0")});
  WorkerStart* const first = start.get();

  EXPECT_FALSE(launcher->try_launch(start));
  EXPECT_EQ(first, start.get());
  EXPECT_THROW(launcher->start_worker_thread(start), std::system_error);
  EXPECT_EQ(first, start.get());
  ASSERT_TRUE(start->operation && start->resolve && start->pass);
  EXPECT_TRUE(journal.events().empty()) << "nothing ran, resolved or released";

  // The second call starts the launcher; its worker cannot start either,
  // so the launcher resolves the start with "".
  ASSERT_TRUE(launcher->try_launch(start));
  EXPECT_EQ(nullptr, start);
  ASSERT_TRUE(journal.wait_for(2));
  EXPECT_EQ((Events{"resolve 0 ", "release 0"}), journal.events());
}

TEST(WorkerLauncher, ConcurrentCallersOnRealThreadsAreEachResolvedOnce) {
  Journal& journal = new_journal();
  WorkerLauncher* launcher = new_launcher(detached, detached);
  constexpr int kCallers = 4;
  constexpr int kStartsPerCaller = 25;
  constexpr int kStarts = kCallers * kStartsPerCaller;
  ThreadGate* gates = new_gates(kStarts);
  std::vector<std::thread> callers;
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([&, c] {
      for (int k = 0; k < kStartsPerCaller; ++k) {
        const int id = c * kStartsPerCaller + k;
        auto start = make_start(&journal, &gates[id], {id, returns("r" + std::to_string(id))});
        EXPECT_TRUE(launcher->try_launch(start));
      }
    });
  }
  for (std::thread& caller : callers) caller.join();
  ASSERT_TRUE(journal.wait_for(2 * kStarts));
  std::vector<int> resolved(kStarts, 0);
  std::vector<int> released(kStarts, 0);
  for (const std::string& event : journal.events()) {
    int id = -1;
    char text[16] = {};
    if (std::sscanf(event.c_str(), "resolve %d %15s", &id, text) == 2) {
      ASSERT_EQ("r" + std::to_string(id), text);
      ++resolved.at(id);
    } else if (std::sscanf(event.c_str(), "release %d", &id) == 1) {
      EXPECT_EQ(1, resolved.at(id)) << "start " << id << " released before it was resolved";
      ++released.at(id);
    }
  }
  EXPECT_EQ(std::vector<int>(kStarts, 1), resolved);
  EXPECT_EQ(std::vector<int>(kStarts, 1), released);
}

// True once done() is; false when it is not after a minute (a hang guard).
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Worker threads that are counted as they are created, and noted "ended"
// in the journal when their body returns.
WorkerLauncher::ThreadStarter counted(Journal* journal, std::atomic<int>* created) {
  return [journal, created](std::function<void()> body) {
    created->fetch_add(1);
    detached([journal, body = std::move(body)] {
      body();
      journal->note("ended");
    });
  };
}

// A worker whose start is done serves the next one without a thread being
// created for it, a prepared worker serves the first, and a worker that
// waited its linger out ends.
TEST(WorkerLauncher, FinishedWorkersServeLaterStartsAndEndAfterTheirLinger) {
  Journal& journal = new_journal();
  std::atomic<int> created{0};
  WorkerLauncher* launcher =
      new_launcher(detached, counted(&journal, &created), std::chrono::minutes(1));
  static std::atomic<int> warm_ups{0};
  ASSERT_TRUE(launcher->prepare([] { warm_ups.fetch_add(1); }));
  ASSERT_TRUE(launcher->prepare()) << "a second prepare adds no worker";
  ASSERT_TRUE(eventually([&] { return launcher->idle_workers() == 1; }));
  EXPECT_EQ(1, warm_ups.load()) << "the prepared worker warmed up before it waited";
  ThreadGate* gates = new_gates(3);
  for (int i = 0; i < 3; ++i) {
    auto start = make_start(&journal, &gates[i], {i, returns("r" + std::to_string(i))});
    ASSERT_TRUE(launcher->try_launch(start));
    ASSERT_TRUE(journal.wait_for(2 * (i + 1)));
    ASSERT_TRUE(eventually([&] { return launcher->idle_workers() == 1; }));
  }
  EXPECT_EQ(1, created.load()) << "the prepared worker served every start";
  EXPECT_EQ((Events{"resolve 0 r0", "release 0", "resolve 1 r1", "release 1", "resolve 2 r2",
                    "release 2"}),
            journal.events());

  Journal& brief = new_journal();
  std::atomic<int> brief_created{0};
  WorkerLauncher* lingering =
      new_launcher(detached, counted(&brief, &brief_created), std::chrono::milliseconds(20));
  auto start = make_start(&brief, new_gates(1), {0, returns("x")});
  ASSERT_TRUE(lingering->try_launch(start));
  ASSERT_TRUE(brief.wait_for(3));
  EXPECT_EQ((Events{"resolve 0 x", "release 0", "ended"}), brief.events());
  EXPECT_EQ(0, lingering->idle_workers());
}

// Starts that run at once each get a worker of their own; of the workers
// they leave, kMaxIdleWorkers wait and the others end.
TEST(WorkerLauncher, ConcurrentStartsEachHaveAWorkerAndAtMostSomeWait) {
  Journal& journal = new_journal();
  std::atomic<int> created{0};
  WorkerLauncher* launcher =
      new_launcher(detached, counted(&journal, &created), std::chrono::minutes(1));
  constexpr int kStarts = kMaxIdleWorkers + 2;
  std::atomic<int> running{0};
  // Each operation returns only once all of them run: on workers of their own.
  const WorkerOperation together = [&running] {
    running.fetch_add(1);
    return eventually([&] { return running.load() == kStarts; }) ? "all" : "alone";
  };
  ThreadGate* gates = new_gates(kStarts);
  for (int i = 0; i < kStarts; ++i) {
    auto start = make_start(&journal, &gates[i], {i, together});
    ASSERT_TRUE(launcher->try_launch(start));
  }
  ASSERT_TRUE(journal.wait_for(2 * kStarts + (kStarts - kMaxIdleWorkers)));
  EXPECT_EQ(kStarts, created.load());
  EXPECT_EQ(kMaxIdleWorkers, launcher->idle_workers());
  const Events events = journal.events();
  for (int i = 0; i < kStarts; ++i) {
    EXPECT_EQ(1, std::count(events.begin(), events.end(), "resolve " + std::to_string(i) + " all"));
  }
}

}  // namespace
}  // namespace risk
