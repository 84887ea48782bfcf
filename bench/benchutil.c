/* What the Lua benchmarks need that Lua 5.2 lacks: a monotonic clock, the
 * process's I/O counters and peak memory, fast creation of many files,
 * access and change times of a folder's files, and child processes timed
 * without a shell in between. */
#define _GNU_SOURCE /* pipe2 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <lauxlib.h>
#include <lua.h>

static int now(lua_State *L) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  lua_pushnumber(L, (lua_Number)t.tv_sec + (lua_Number)t.tv_nsec * 1e-9);
  return 1;
}

/* { rchar =, wchar =, read_bytes =, write_bytes = } from /proc/self/io. */
static int io(lua_State *L) {
  FILE *f = fopen("/proc/self/io", "r");
  if (f == NULL) return luaL_error(L, "cannot read /proc/self/io");
  lua_createtable(L, 0, 7);
  char key[64];
  unsigned long long value;
  while (fscanf(f, "%63[^:]: %llu\n", key, &value) == 2) {
    lua_pushnumber(L, (lua_Number)value);
    lua_setfield(L, -2, key);
  }
  fclose(f);
  return 1;
}

/* Peak resident set of this process, in KiB. */
static int maxrss(lua_State *L) {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  lua_pushnumber(L, (lua_Number)usage.ru_maxrss);
  return 1;
}

/* touch(dir, count, pattern): empty files named pattern:format(1..count). */
static int touch(lua_State *L) {
  const char *dir = luaL_checkstring(L, 1);
  lua_Integer count = luaL_checkinteger(L, 2);
  const char *pattern = luaL_optstring(L, 3, "package%06d.zip");
  int dirfd = open(dir, O_RDONLY | O_DIRECTORY);
  if (dirfd < 0) return luaL_error(L, "cannot open %s", dir);
  for (lua_Integer i = 1; i <= count; i++) {
    char name[256];
    snprintf(name, sizeof name, pattern, (int)i);
    int fd = openat(dirfd, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
      close(dirfd);
      return luaL_error(L, "cannot create %s/%s", dir, name);
    }
    close(fd);
  }
  close(dirfd);
  return 0;
}

enum { AGED = 1 }; /* seconds after the epoch */

/* Calls each(dirfd, name, data) for every regular file of dir; false when
 * dir cannot be read. */
static int each_file(const char *dir, void (*each)(int, const char *, void *), void *data) {
  DIR *stream = opendir(dir);
  if (stream == NULL) return 0;
  for (struct dirent *entry; (entry = readdir(stream)) != NULL;)
    if (entry->d_type == DT_REG) each(dirfd(stream), entry->d_name, data);
  closedir(stream);
  return 1;
}

/* Only the access time moves: the relay judges files by size and mtime. */
static void age_one(int dirfd, const char *name, void *data) {
  const struct timespec times[2] = {{AGED, 0}, {0, UTIME_OMIT}};
  (void)data;
  utimensat(dirfd, name, times, 0);
}

/* age(dir): sets the access time of its files far back, so that under
 * relatime the next read of each moves it. */
static int age(lua_State *L) {
  lua_pushboolean(L, each_file(luaL_checkstring(L, 1), age_one, NULL));
  return 1;
}

struct Scan {
  lua_State *L;
  lua_Integer read;
};

static void scan_one(int dirfd, const char *name, void *data) {
  struct Scan *scan = data;
  struct stat info;
  if (fstatat(dirfd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (info.st_atim.tv_sec != AGED) scan->read++;
  lua_pushfstring(scan->L, "%d.%d:%d", (int)info.st_mtim.tv_sec, (int)info.st_mtim.tv_nsec, (int)info.st_size);
  lua_setfield(scan->L, -2, name);
}

/* scan(dir): { [name] = "mtime:size" }, and how many files were read since
 * age(dir). */
static int scan(lua_State *L) {
  struct Scan state = {L, 0};
  lua_newtable(L);
  if (!each_file(luaL_checkstring(L, 1), scan_one, &state)) return 0;
  lua_pushinteger(L, state.read);
  return 2;
}

extern char **environ;

static double seconds_since(const struct timespec *start) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)(t.tv_sec - start->tv_sec) + (double)(t.tv_nsec - start->tv_nsec) * 1e-9;
}

/* spawn({program, arg...}): seconds, exit status (128 + signal for a
 * killed one), standard output. The clock spans exec to reaped exit, and no
 * shell's start-up lands in it; stderr is left to the caller's. */
static int spawn(lua_State *L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  int n = (int)lua_rawlen(L, 1);
  luaL_argcheck(L, n >= 1, 1, "no program");
  char **argv = lua_newuserdata(L, (size_t)(n + 1) * sizeof *argv);
  for (int i = 1; i <= n; i++) {
    lua_rawgeti(L, 1, i);
    argv[i - 1] = (char *)luaL_checkstring(L, -1); /* kept alive by the table */
    lua_pop(L, 1);
  }
  argv[n] = NULL;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return luaL_error(L, "cannot make a pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  struct timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  pid_t pid;
  int failed = posix_spawnp(&pid, argv[0], &actions, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (failed != 0) {
    close(fds[0]);
    return luaL_error(L, "cannot start %s: %s", argv[0], strerror(failed));
  }
  luaL_Buffer output;
  luaL_buffinit(L, &output);
  for (;;) {
    char *space = luaL_prepbuffer(&output);
    ssize_t got = read(fds[0], space, LUAL_BUFFERSIZE);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    luaL_addsize(&output, (size_t)got);
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  double seconds = seconds_since(&start);
  luaL_pushresult(&output);
  lua_pushnumber(L, seconds);
  lua_insert(L, -2);
  lua_pushinteger(L, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  lua_insert(L, -2);
  return 3;
}

static const luaL_Reg functions[] = {
    {"now", now},   {"io", io},     {"maxrss", maxrss}, {"touch", touch},
    {"age", age},   {"scan", scan}, {"spawn", spawn},   {NULL, NULL},
};

LUALIB_API int luaopen_benchutil(lua_State *L) {
  luaL_newlib(L, functions);
  return 1;
}
