#include "platform/thread_name.hpp"

#include <pthread.h>

#include <cstring>

namespace vx::platform {

void name_this_thread(const char* name) {
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    ::pthread_setname_np(::pthread_self(), cut);
}

}  // namespace vx::platform
