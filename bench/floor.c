/* The floor of the benchmark: the least a bridge can do. Each stdin line is
 * answered with one write of a canned answer (initialize, ping, tools/list,
 * prompts/list, taken from the real server's answers so the sizes match) chosen
 * by a substring, without reading any JSON; a tools/call line is relayed to the
 * app and the app's reply line streamed back unparsed. kestil_floor <canned
 * answers dir> <config dir>
 */
#define _GNU_SOURCE /* memmem */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

struct Canned {
  const char* method; /* a substring that picks this answer */
  const char* file;
  char* bytes;
  size_t size;
};

static struct Canned canned[] = {
    {"\"tools/list\"", "tools_list", NULL, 0},
    {"\"prompts/list\"", "prompts_list", NULL, 0},
    {"\"initialize\"", "initialize", NULL, 0},
    {"\"ping\"", "ping", NULL, 0},
};
enum { CANNED_COUNT = sizeof canned / sizeof canned[0] };

static const char HELLO[] =
    "{\"ipc\":1,\"bridge_version\":\"0.1.0\",\"client_"
    "name\":\"bench\",\"client_version\":\"1\"}\n";

static int write_all(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    ssize_t wrote = write(fd, bytes, size);
    if (wrote <= 0) return 0;
    bytes += wrote;
    size -= (size_t)wrote;
  }
  return 1;
}

static char* read_file(const char* path, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char* bytes = malloc(1 << 20);
  *size = bytes == NULL ? 0 : fread(bytes, 1, 1 << 20, file);
  fclose(file);
  return bytes;
}

/* The app's socket: the "socket" member of the endpoint file, found by its key
 * (the bench's paths need no escapes). */
static int connect_app(const char* config_dir) {
  char path[4096];
  size_t size;
  snprintf(path, sizeof path, "%s/mcp/endpoint.json", config_dir);
  char* text = read_file(path, &size);
  if (text == NULL) return -1;
  text[size < (1 << 20) ? size : size - 1] = '\0';
  const char* key = strstr(text, "\"socket\":\"");
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  if (key != NULL) {
    key += strlen("\"socket\":\"");
    const char* end = strchr(key, '"');
    size_t length = end == NULL ? 0 : (size_t)(end - key);
    if (length < sizeof address.sun_path) memcpy(address.sun_path, key, length);
  }
  free(text);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return -1;
  return fd;
}

/* Reads and drops the app's hello reply. */
static int skip_line(int app, char* buffer, size_t capacity) {
  for (;;) {
    ssize_t got = read(app, buffer, capacity);
    if (got <= 0) return 0;
    if (memchr(buffer, '\n', (size_t)got) != NULL) return 1;
  }
}

/* Streams socket bytes to stdout up to and including the next LF. */
static int relay_line(int app, char* buffer, size_t capacity) {
  for (;;) {
    ssize_t got = read(app, buffer, capacity);
    if (got <= 0) return 0;
    char* lf = memchr(buffer, '\n', (size_t)got);
    size_t size = lf == NULL ? (size_t)got : (size_t)(lf - buffer) + 1;
    if (!write_all(1, buffer, size)) return 0;
    if (lf != NULL) return 1;
  }
}

static char relay[1 << 16];

/* Relays one tools/call line, connecting and greeting the app on the first. */
static int relay_call(const char* config_dir, const char* line, size_t size) {
  static int app = -1;
  if (app < 0) {
    app = connect_app(config_dir);
    if (app < 0 || !write_all(app, HELLO, sizeof HELLO - 1) ||
        !skip_line(app, relay, sizeof relay)) {
      return 0;
    }
  }
  return write_all(app, line, size) && relay_line(app, relay, sizeof relay);
}

/* Answers one line (LF included); false when the output or the app is gone. */
static int answer(const char* config_dir, const char* line, size_t size) {
  if (memmem(line, size, "\"tools/call\"", 12) != NULL) return relay_call(config_dir, line, size);
  if (memmem(line, size, "\"notifications/", 15) != NULL) return 1;
  for (int i = 0; i < CANNED_COUNT; ++i) {
    if (memmem(line, size, canned[i].method, strlen(canned[i].method)) != NULL) {
      return write_all(1, canned[i].bytes, canned[i].size);
    }
  }
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: kestil_floor <canned answers dir> <config dir>\n");
    return 2;
  }
  for (int i = 0; i < CANNED_COUNT; ++i) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", argv[1], canned[i].file);
    canned[i].bytes = read_file(path, &canned[i].size);
    if (canned[i].bytes == NULL) return 1;
  }
  size_t capacity = 1 << 16, start = 0, end = 0;
  char* input = malloc(capacity);
  for (;;) {
    if (end == capacity) {
      capacity *= 2;
      input = realloc(input, capacity);
    }
    if (input == NULL) return 1;
    ssize_t got = read(0, input + end, capacity - end);
    if (got <= 0) return 0;
    end += (size_t)got;
    char* lf;
    while ((lf = memchr(input + start, '\n', end - start)) != NULL) {
      size_t size = (size_t)(lf - (input + start)) + 1;
      if (!answer(argv[2], input + start, size)) return 1;
      start += size;
    }
    memmove(input, input + start, end - start);
    end -= start;
    start = 0;
  }
}
