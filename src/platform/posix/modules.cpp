/*
 * Dynamic-link libraries: LoadLibraryA, GetProcAddress and FreeLibrary over
 * the system's loader.
 *
 * A name with a '/' is loaded as given.  Any other name is looked for in
 * each folder of KVX_LIBRARY_PATH (':'-separated, empty entries skipped)
 * and then in the folder of the kvx library itself; in each folder first
 * under the name itself, then as a Linux library of the same stem: "lib",
 * the name without its extension in lower case, ".so" ("COMM.DLL" ->
 * "libcomm.so").  The system's own search is not used, so a host chooses
 * exactly which device libraries the library sees.
 *
 * A module handle is an object of this layer, so that freeing or asking a
 * handle that is not one fails with ERROR_INVALID_HANDLE instead of handing
 * it to the loader.  Loading the same library twice gives the same handle
 * and counts a reference, as on Windows; the library goes with the last
 * FreeLibrary.
 */
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "objects.h"

namespace {

struct ModuleObject : posix::Object {
    void *library; /* the loader's handle */
    unsigned references;
};

std::mutex g_modules_lock;
/* The loader's handle -> its module object; guarded by g_modules_lock. */
std::map<void *, ModuleObject *> &modules()
{
    static std::map<void *, ModuleObject *> map;
    return map;
}

/* The folder of the file that holds this code: the kvx library, or the
 * program that links it statically.  Empty when the loader cannot tell. */
std::string own_folder()
{
    Dl_info info{};
    link_map *map = nullptr;
    if (dladdr1(reinterpret_cast<void *>(&own_folder), &info, reinterpret_cast<void **>(&map), RTLD_DL_LINKMAP) == 0)
        return {};
    std::string file;
    if (map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
        file = map->l_name;
    } else {
        /* The program itself, whose name the loader keeps only as it was run. */
        char buffer[4096];
        const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        if (n <= 0) return {};
        file.assign(buffer, static_cast<size_t>(n));
    }
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash == 0 ? 1 : slash);
}

/* "COMM.DLL" -> "libcomm.so": the name without its extension. */
std::string linux_name(const char *name)
{
    std::string stem(name);
    const size_t dot = stem.rfind('.');
    if (dot != std::string::npos && dot > 0) stem.resize(dot);
    for (char &c : stem) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "lib" + stem + ".so";
}

bool is_file(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

/* Loads the first of the candidates in `folder` that exists; null if none
 * does or the one that exists does not load. */
void *open_in(const std::string &folder, const char *name)
{
    if (folder.empty()) return nullptr;
    for (const std::string &file : {std::string(name), linux_name(name)}) {
        const std::string path = folder + "/" + file;
        if (!is_file(path)) continue;
        if (void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return library;
    }
    return nullptr;
}

void *search(const char *name)
{
    if (std::strchr(name, '/') != nullptr) return dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (const char *path = std::getenv("KVX_LIBRARY_PATH")) {
        const char *start = path;
        for (;;) {
            const char *end = std::strchr(start, ':');
            const std::string folder = end ? std::string(start, static_cast<size_t>(end - start)) : start;
            if (void *library = open_in(folder, name)) return library;
            if (end == nullptr) break;
            start = end + 1;
        }
    }
    return open_in(own_folder(), name);
}

/* The module object behind a handle, or null (ERROR_INVALID_HANDLE set);
 * g_modules_lock is held. */
ModuleObject *module_of(HMODULE module)
{
    if (posix::object_kind(module) != posix::kObjectModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return reinterpret_cast<ModuleObject *>(module);
}

} // namespace

HMODULE WINAPI LoadLibraryA(LPCSTR name)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void *library = name[0] != '\0' ? search(name) : nullptr;
    if (library == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(g_modules_lock);
    auto found = modules().find(library);
    if (found != modules().end()) {
        found->second->references++; /* the loader counted this load too */
        return reinterpret_cast<HMODULE>(found->second);
    }
    auto *object = new (std::nothrow) ModuleObject;
    if (object == nullptr) {
        dlclose(library);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    object->kind = posix::kObjectModule;
    object->library = library;
    object->references = 1;
    modules()[library] = object;
    posix::register_object(object);
    return reinterpret_cast<HMODULE>(object);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name)
{
    void *library;
    {
        std::lock_guard<std::mutex> guard(g_modules_lock);
        ModuleObject *object = module_of(module);
        if (object == nullptr) return nullptr;
        library = object->library;
    }
    /* Windows takes small numbers as ordinals; a shared object has none. */
    if (reinterpret_cast<uintptr_t>(name) < 0x10000u) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void *symbol = dlsym(library, name);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE module)
{
    void *library;
    {
        std::lock_guard<std::mutex> guard(g_modules_lock);
        ModuleObject *object = module_of(module);
        if (object == nullptr) return FALSE;
        library = object->library;
        if (--object->references == 0) {
            modules().erase(library);
            posix::unregister_object(object);
            delete object;
        }
    }
    dlclose(library);
    return TRUE;
}
