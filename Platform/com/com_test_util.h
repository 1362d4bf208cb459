// Tests only: the identity rules of QueryInterface that every object of the platform keeps.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "windows.h"

namespace platform::testing {

// `object` answers each of `answered` (the first one first) with itself, one reference more
// (given back here); it refuses `refused` with E_NOINTERFACE and a null pointer, and a null out
// pointer with E_POINTER.
inline void ExpectIdentity(IUnknown* object, std::initializer_list<const IID*> answered, const IID& refused) {
    for (const IID* iid : answered) {
        void* same = nullptr;
        ASSERT_EQ(object->QueryInterface(*iid, &same), S_OK);
        EXPECT_EQ(same, static_cast<void*>(object));
        static_cast<IUnknown*>(same)->Release();
    }
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(refused, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(object->QueryInterface(**answered.begin(), nullptr), E_POINTER);
}

}  // namespace platform::testing
