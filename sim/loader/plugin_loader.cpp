// The loader keeps the instances apart by file identity: the dynamic loader
// hands back the instance already loaded for a file it has seen (by name or
// by device and inode), so a fresh instance needs a file it has not seen, a
// copy of the plug-in's bytes. A plug-in loaded once and unloaded again is
// not certain to go (a unique symbol or a thread-local destructor keeps it),
// so unloading is never relied on.
#include "sim/loader/plugin_loader.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

bool CopyBytes(int from, int to) {
  char buf[1 << 16];
  for (;;) {
    ssize_t n = read(from, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      done += w;
    }
  }
}

// A copy of the file under the temporary folder, opened by the dynamic
// loader and removed at once (the loaded instance keeps its mapping).
void* LoadCopy(const std::string& file, std::string* error) {
  const char* tmp = getenv("TMPDIR");
  std::string name = std::string(tmp && *tmp ? tmp : "/tmp") + "/tapsim-plugin-XXXXXX";
  const int out = mkstemp(&name[0]);
  if (out < 0) {
    SetError(error, "cannot make a copy of the plug-in in " + name.substr(0, name.rfind('/')) +
                        ": " + strerror(errno));
    return nullptr;
  }
  const int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const bool copied = in >= 0 && CopyBytes(in, out);
  const int saved = errno;
  if (in >= 0) close(in);
  close(out);
  void* handle = nullptr;
  if (!copied) {
    SetError(error, "cannot copy the plug-in to " + name + ": " + strerror(saved));
  } else {
    handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      SetError(error, std::string("cannot load the plug-in: ") + (why ? why : "?"));
    }
  }
  unlink(name.c_str());
  return handle;
}

}  // namespace

bool LoadPluginFresh(const char* path, LoadedPlugin* out, std::string* error, int* initResult) {
  if (!path || !*path || !out) {
    SetError(error, "no plug-in file named");
    return false;
  }
  *out = LoadedPlugin{nullptr, nullptr, nullptr};
  // A path without a folder would make dlopen search the library path.
  std::string file = path;
  if (file.find('/') == std::string::npos) file = "./" + file;
  // RTLD_LOCAL: none of the plug-in's symbols (it may define its own abort,
  // for one) takes the place of the runner's or the C library's.
  void* handle = nullptr;
  if (void* seen = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD)) {
    dlclose(seen);
    handle = LoadCopy(file, error);
  } else {
    handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* why = dlerror();
      SetError(error, std::string("cannot load the plug-in: ") + (why ? why : "?"));
    }
  }
  if (!handle) return false;
  dlerror();
  using InitFn = int (*)(TYPE_TapStart*);
  InitFn init = reinterpret_cast<InitFn>(dlsym(handle, "__TAP_Init_"));
  if (!init) {
    SetError(error, "the plug-in has no start routine __TAP_Init_");
    return false;
  }
  TYPE_TapStart start = {nullptr, nullptr};
  const int result = init(&start);
  if (initResult) *initResult = result;
  out->handle = handle;
  out->main = start.main;
  out->eventHandler = start.eventHandler;
  if (!start.main || !start.eventHandler) {
    SetError(error, "__TAP_Init_ did not name both entry points (TAP_Main and TAP_EventHandler)");
    return false;
  }
  return true;
}

void UnloadPlugin(LoadedPlugin* plugin) {
  if (!plugin || !plugin->handle) return;
  dlclose(plugin->handle);
  *plugin = LoadedPlugin{nullptr, nullptr, nullptr};
}
