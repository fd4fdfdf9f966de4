#include "platform/thread_name.hpp"

#include <pthread.h>

#include <cstring>

namespace vx::platform {

void name_this_thread(const char* name) {
    char cut[16] = {};
    std::strncpy(cut, name, sizeof cut - 1);
    ::pthread_setname_np(::pthread_self(), cut);
}

ScopedThreadName::ScopedThreadName(const char* name) {
    if (::pthread_getname_np(::pthread_self(), saved_, sizeof saved_) != 0) {
        saved_[0] = '\0';
    }
    name_this_thread(name);
}

ScopedThreadName::~ScopedThreadName() {
    if (saved_[0] != '\0') {
        ::pthread_setname_np(::pthread_self(), saved_);
    }
}

}  // namespace vx::platform
