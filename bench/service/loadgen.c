// The token service benchmark's load generator: replays HTTP/1.1 requests
// made up front over kept-alive loopback connections, one request in
// flight per connection, and prints one JSON line of what it measured.
//
//   loadgen PORT FILE closed CONNECTIONS MS
//       CONNECTIONS requests in flight for MS milliseconds: the rate.
//   loadgen PORT FILE open RATE MS
//       RATE requests per second for MS milliseconds, each sent when it is
//       due whatever the answers before it (up to kMaxConnections in
//       flight; beyond that a request waits for a free connection): the
//       latency of each from the time it was due, so that a request held up
//       behind a slow one counts its wait.
//
// FILE holds the requests, each a 4-byte little-endian length and the
// request's bytes; they are sent in turn, round and round. A request whose
// answer is not 200, or whose connection breaks, counts as failed.
//
// Written in C so that the generator's own cost stays small beside the
// service's on a machine whose CPUs they share, and so that a due request
// leaves within microseconds (a timer armed for each), not at the next
// millisecond of a script's timer.

#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

enum {
  kMaxConnections = 256,
  kOpenLoopConnections = 32,  // opened before an open loop starts
  kReadBufferBytes = 64 * 1024,
  kDrainMs = 10000,  // how long the answers under way are awaited at the end
  kMaxEvents = 64,
};

typedef struct {
  const char* bytes;
  size_t length;
} Request;

typedef struct {
  int fd;
  int busy;        // a request in flight
  int64_t due_ns;  // when it was due
  const Request* request;
  size_t written;
  size_t filled;
  char buffer[kReadBufferBytes];
} Connection;

static Request* g_requests;
static size_t g_request_count;
static size_t g_next_request;
static struct sockaddr_in g_address;
static int g_epoll = -1;
static Connection* g_connections[kMaxConnections];
static int g_connection_count;
static Connection* g_idle[kMaxConnections];
static int g_idle_count;
static long g_ok;
static long g_failed;
static double* g_latencies_us;
static size_t g_latency_count;
static size_t g_latency_capacity;

static void Die(const char* what) {
  fprintf(stderr, "loadgen: %s: %s\n", what, strerror(errno));
  exit(1);
}

static int64_t NowNs(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static void ReadRequests(const char* path) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) Die(path);
  if (fseek(f, 0, SEEK_END) != 0) Die(path);
  long size = ftell(f);
  if (size < 0 || fseek(f, 0, SEEK_SET) != 0) Die(path);
  char* data = malloc((size_t)size + 1);
  if (data == NULL) Die("memory");
  if (fread(data, 1, (size_t)size, f) != (size_t)size) Die(path);
  fclose(f);
  size_t capacity = 64;
  g_requests = malloc(capacity * sizeof(Request));
  if (g_requests == NULL) Die("memory");
  for (size_t at = 0; at < (size_t)size;) {
    const unsigned char* p = (const unsigned char*)data + at;
    if ((size_t)size - at < 4) break;
    size_t length = p[0] | (size_t)p[1] << 8 | (size_t)p[2] << 16 | (size_t)p[3] << 24;
    at += 4;
    if (length == 0 || length > (size_t)size - at) break;
    if (g_request_count == capacity) {
      capacity *= 2;
      g_requests = realloc(g_requests, capacity * sizeof(Request));
      if (g_requests == NULL) Die("memory");
    }
    g_requests[g_request_count++] = (Request){data + at, length};
    at += length;
  }
  if (g_request_count == 0) {
    fprintf(stderr, "loadgen: %s holds no request\n", path);
    exit(1);
  }
}

static Connection* Open(void) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) Die("socket");
  if (connect(fd, (struct sockaddr*)&g_address, sizeof g_address) != 0) Die("connect");
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) Die("fcntl");
  Connection* c = calloc(1, sizeof(Connection));
  if (c == NULL) Die("memory");
  c->fd = fd;
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
  if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) Die("epoll_ctl");
  g_connections[g_connection_count++] = c;
  return c;
}

// A connection that broke or was closed by the service is opened again, in
// its place among the idle ones when it was idle; a busy one's successor
// is returned to take the next request.
static Connection* Reopen(Connection* c) {
  close(c->fd);
  int index = 0;
  while (g_connections[index] != c) index++;
  g_connections[index] = g_connections[--g_connection_count];
  int was_busy = c->busy;
  free(c);
  Connection* fresh = Open();
  if (was_busy) return fresh;
  for (int i = 0; i < g_idle_count; i++) {
    if (g_idle[i] == c) g_idle[i] = fresh;
  }
  return NULL;
}

static void WriteSome(Connection* c) {
  while (c->written < c->request->length) {
    ssize_t n = write(c->fd, c->request->bytes + c->written, c->request->length - c->written);
    if (n > 0) {
      c->written += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT, .data.ptr = c};
      epoll_ctl(g_epoll, EPOLL_CTL_MOD, c->fd, &ev);
      return;
    }
    return;  // the read side sees the broken connection
  }
}

static void Send(Connection* c, int64_t due_ns) {
  c->busy = 1;
  c->due_ns = due_ns;
  c->request = &g_requests[g_next_request++ % g_request_count];
  c->written = 0;
  c->filled = 0;
  WriteSome(c);
}

static void Record(double latency_us) {
  if (g_latency_count == g_latency_capacity) {
    g_latency_capacity = g_latency_capacity ? g_latency_capacity * 2 : 65536;
    g_latencies_us = realloc(g_latencies_us, g_latency_capacity * sizeof(double));
    if (g_latencies_us == NULL) Die("memory");
  }
  g_latencies_us[g_latency_count++] = latency_us;
}

// The length of a whole answer at the start of c->buffer, 0 while it is
// incomplete, -1 when it cannot be read. *status is its status code.
static long AnswerLength(const Connection* c, int* status, int* closes) {
  const char* b = c->buffer;
  const char* end = memmem(b, c->filled, "\r\n\r\n", 4);
  if (end == NULL) return c->filled == sizeof c->buffer ? -1 : 0;
  size_t head = (size_t)(end - b) + 4;
  if (c->filled < 12 || memcmp(b, "HTTP/1.", 7) != 0) return -1;
  *status = atoi(b + 9);
  long body = -1;
  int chunked = 0;
  for (const char* line = memchr(b, '\n', head) + 1; line < end;
       line = memchr(line, '\n', (size_t)(end - line) + 2) + 1) {
    if (strncasecmp(line, "content-length:", 15) == 0) body = atol(line + 15);
    if (strncasecmp(line, "transfer-encoding: chunked", 26) == 0) chunked = 1;
    if (strncasecmp(line, "connection: close", 17) == 0) *closes = 1;
  }
  if (chunked) {
    const char* last = memmem(b + head, c->filled - head, "0\r\n\r\n", 5);
    return last == NULL ? 0 : (long)(last + 5 - b);
  }
  if (body < 0) return -1;
  return c->filled >= head + (size_t)body ? (long)(head + (size_t)body) : 0;
}

// Reads what the service answered on c. Returns the connection free for
// the next request once an answer is complete (c, or the one that replaced
// it), NULL while none is.
static Connection* ReadAnswer(Connection* c, int64_t now_ns) {
  for (;;) {
    ssize_t n = read(c->fd, c->buffer + c->filled, sizeof c->buffer - c->filled);
    if (n > 0) {
      c->filled += (size_t)n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    int broken = !(n < 0 && errno == EAGAIN);
    int status = 0;
    int closes = 0;
    if (!c->busy && !broken && c->filled == 0) return NULL;
    long length = c->busy ? AnswerLength(c, &status, &closes) : -1;
    if (length == 0 && !broken) return NULL;
    if (length > 0 && status == 200) {
      g_ok += 1;
      Record((double)(now_ns - c->due_ns) / 1000.0);
    } else if (c->busy) {
      g_failed += 1;
    }
    if (length <= 0 || broken || closes || (size_t)length != c->filled) return Reopen(c);
    c->busy = 0;
    c->filled = 0;
    return c;
  }
}

static void Arm(int timer, int64_t at_ns) {
  struct itimerspec when = {{0, 0}, {at_ns / 1000000000, at_ns % 1000000000}};
  if (timerfd_settime(timer, TFD_TIMER_ABSTIME, &when, NULL) != 0) Die("timerfd_settime");
}

static int CompareDoubles(const void* x, const void* y) {
  double a = *(const double*)x;
  double b = *(const double*)y;
  return a < b ? -1 : a > b;
}

static double Quantile(double q) {
  if (g_latency_count == 0) return 0;
  size_t i = (size_t)(q * (double)g_latency_count);
  return g_latencies_us[i < g_latency_count ? i : g_latency_count - 1] / 1000.0;
}

int main(int argc, char** argv) {
  if (argc != 6 || (strcmp(argv[3], "closed") != 0 && strcmp(argv[3], "open") != 0)) {
    fprintf(stderr,
            "usage: loadgen PORT FILE closed CONNECTIONS MS | loadgen PORT FILE open RATE MS\n");
    return 2;
  }
  int open_loop = strcmp(argv[3], "open") == 0;
  double amount = atof(argv[4]);
  int64_t run_ns = (int64_t)(atof(argv[5]) * 1e6);
  if (amount <= 0 || run_ns <= 0 || (!open_loop && amount > kMaxConnections)) {
    fprintf(stderr, "loadgen: bad numbers\n");
    return 2;
  }
  ReadRequests(argv[2]);
  g_address.sin_family = AF_INET;
  g_address.sin_port = htons((uint16_t)atoi(argv[1]));
  g_address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  g_epoll = epoll_create1(EPOLL_CLOEXEC);
  int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (g_epoll < 0 || timer < 0) Die("epoll");
  struct epoll_event tev = {.events = EPOLLIN, .data.ptr = NULL};
  if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, timer, &tev) != 0) Die("epoll_ctl");

  int opened = open_loop ? kOpenLoopConnections : (int)amount;
  for (int i = 0; i < opened; i++) g_idle[g_idle_count++] = Open();

  const int64_t start_ns = NowNs();
  const int64_t end_ns = start_ns + run_ns;
  const double interval_ns = open_loop ? 1e9 / amount : 0;
  long planned = 0;  // open loop: requests due so far
  long waiting = 0;  // of those, the ones that wait for a connection
  long in_flight = 0;
  if (!open_loop) {
    while (g_idle_count > 0) {
      Send(g_idle[--g_idle_count], NowNs());
      in_flight += 1;
    }
  }
  struct epoll_event events[kMaxEvents];
  for (;;) {
    int64_t now = NowNs();
    if (open_loop) {
      // Every request due before the end leaves, even when the loop woke
      // after the end.
      int64_t due;
      for (; (due = start_ns + (int64_t)((double)planned * interval_ns)) <= now && due < end_ns;
           planned++) {
        if (g_idle_count == 0 && g_connection_count < kMaxConnections)
          g_idle[g_idle_count++] = Open();
        if (g_idle_count == 0) {
          waiting += 1;
          continue;
        }
        Send(g_idle[--g_idle_count], due);
        in_flight += 1;
      }
      if (now < end_ns) Arm(timer, due < end_ns ? due : end_ns);
    }
    int64_t drained_ns = end_ns + (int64_t)kDrainMs * 1000000;
    if (now >= end_ns && ((in_flight == 0 && waiting == 0) || now >= drained_ns)) break;
    int timeout_ms = now >= end_ns ? 1 : open_loop ? -1 : (int)((end_ns - now) / 1000000) + 1;
    int n = epoll_wait(g_epoll, events, kMaxEvents, timeout_ms);
    if (n < 0 && errno != EINTR) Die("epoll_wait");
    now = NowNs();
    for (int i = 0; i < n; i++) {
      Connection* c = events[i].data.ptr;
      if (c == NULL) {
        uint64_t expirations;
        if (read(timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN) Die("timer");
        continue;
      }
      if (events[i].events & EPOLLOUT) {
        WriteSome(c);
        if (c->written == c->request->length) {
          struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
          epoll_ctl(g_epoll, EPOLL_CTL_MOD, c->fd, &ev);
        }
      }
      if (!(events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))) continue;
      int was_busy = c->busy;
      Connection* next = ReadAnswer(c, now);
      if (next == NULL) continue;
      if (was_busy) in_flight -= 1;
      if (open_loop && waiting > 0) {
        // The oldest request still waiting for a connection leaves now,
        // its latency counted from when it was due.
        Send(next, start_ns + (int64_t)((double)(planned - waiting) * interval_ns));
        waiting -= 1;
        in_flight += 1;
      } else if (!open_loop && now < end_ns) {
        Send(next, now);
        in_flight += 1;
      } else {
        g_idle[g_idle_count++] = next;
      }
    }
  }
  double seconds = (double)(NowNs() - start_ns) / 1e9;
  g_failed += in_flight + waiting;
  qsort(g_latencies_us, g_latency_count, sizeof(double), CompareDoubles);
  printf(
      "{\"ok\":%ld,\"failed\":%ld,\"rate\":%.1f,\"p50\":%.3f,\"p90\":%.3f,\"p99\":%.3f,\"p999\":%."
      "3f,\"max\":%.3f}\n",
      g_ok, g_failed, (double)g_ok / seconds, Quantile(0.5), Quantile(0.9), Quantile(0.99),
      Quantile(0.999), g_latency_count ? g_latencies_us[g_latency_count - 1] / 1000.0 : 0.0);
  return 0;
}
