// Backend selection and the entry points handed out for run-time binding.
#include "fake_winapi.h"
#include "winapi.h"

#include <gtest/gtest.h>

using namespace winapi;
using lxtest::TFakeApi;
using lxtest::TFakeApiScope;

TEST(BackendSelection, ScopesInstallAndRestoreInOrder) {
    TFakeApi Outer;
    TFakeApi Inner;
    TWinApi* const Before = SetApi(nullptr);
    {
        TFakeApiScope OuterScope(Outer);
        EXPECT_EQ(&Api(), &Outer);
        {
            TFakeApiScope InnerScope(Inner);
            EXPECT_EQ(&Api(), &Inner);
        }
        EXPECT_EQ(&Api(), &Outer);
    }
    // Back to the native backend, which SetApi reports as null.
    EXPECT_EQ(SetApi(Before), nullptr);
}

TEST(ForwardingExport, EntryPointsReachTheBackendInForce) {
    TFakeApi Fake;
    TFakeApiScope Scope(Fake);
    const HANDLE File = reinterpret_cast<HANDLE>(std::uintptr_t(0x1234));

    const auto Cancel = ProcAs<PFN_CancelIo>(ForwardingExport("CancelIo"));
    ASSERT_NE(Cancel, nullptr);
    Fake.ScriptNext("CancelIo", lxtest::Succeed());
    EXPECT_EQ(Cancel(File), TRUE);
    ASSERT_EQ(Fake.CallCount("CancelIo"), 1);
    EXPECT_EQ(Fake.Calls("CancelIo")[0].Args[0], reinterpret_cast<std::uintptr_t>(File));

    const auto Query = ProcAs<PFN_ZwQueryKey>(ForwardingExport("ZwQueryKey"));
    ASSERT_NE(Query, nullptr);
    ULONG Length = 0;
    EXPECT_EQ(Query(HKEY_LOCAL_MACHINE, KeyNameInformation, nullptr, 0, &Length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Length, 4 + sizeof(u"\\REGISTRY\\MACHINE") - 2);
}

TEST(ForwardingExport, OtherNamesAndOrdinalsGiveNothing) {
    for (const char* Name : {"cancelio", "CancelIoEx", "ZwQueryKeyW", ""}) {
        EXPECT_EQ(ForwardingExport(Name), nullptr) << Name;
    }
    // An ordinal travels in the low word of the name pointer.
    EXPECT_EQ(ForwardingExport(reinterpret_cast<LPCSTR>(std::uintptr_t(5))), nullptr);
    EXPECT_EQ(ForwardingExport(nullptr), nullptr);
}
