// Handles made here instead of by the runtime: a master pointer and its block, with their sizes
// kept, so the movie's description handles can be read and checked without QuickTime.
#pragma once

#include "quicktime_host.h"

#include <map>

struct local_handles {
    static std::map<Handle, long>& live()
    {
        static std::map<Handle, long> handles;
        return handles;
    }
    static int& fail_next()
    {
        static int count = 0;
        return count;
    }
    static Handle __cdecl new_clear(long size)
    {
        if (fail_next() > 0) {
            --fail_next();
            return nullptr;
        }
        Handle h = new Ptr(new char[size > 0 ? size : 1]());
        live()[h] = size;
        return h;
    }
    static void __cdecl dispose(Handle h)
    {
        if (h == nullptr)
            return;
        live().erase(h);
        delete[] * h;
        delete h;
    }
    static long size(Handle h)
    {
        const auto found = live().find(h);
        return found != live().end() ? found->second : -1;
    }
    static qt_handle_allocator allocator()
    {
        qt_handle_allocator a;
        a.new_clear = &new_clear;
        a.dispose = &dispose;
        return a;
    }
};
