/* The registry of live handle objects. */
#include "objects.h"

#include <mutex>
#include <unordered_set>

namespace posix {

namespace {
std::mutex g_objects_lock;
std::unordered_set<const Object *> &live_objects()
{
    static std::unordered_set<const Object *> objects; /* guarded by g_objects_lock */
    return objects;
}
} // namespace

void register_object(Object *object)
{
    std::lock_guard<std::mutex> guard(g_objects_lock);
    live_objects().insert(object);
}

void unregister_object(Object *object)
{
    std::lock_guard<std::mutex> guard(g_objects_lock);
    live_objects().erase(object);
}

uint32_t object_kind(HANDLE handle)
{
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return kObjectFree;
    const auto *object = static_cast<const Object *>(handle);
    std::lock_guard<std::mutex> guard(g_objects_lock);
    return live_objects().count(object) ? object->kind : kObjectFree;
}

} // namespace posix
