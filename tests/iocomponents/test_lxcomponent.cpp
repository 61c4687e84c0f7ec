// The component model: ownership, removal notification in both directions and with plain Qt
// objects, and loading with Loaded afterwards.
#include "lxcomponent.h"
#include "lxerror.h"
#include "qtprint.h"

#include <QObject>
#include <QPointer>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// Keeps a reference to another object and records every notification it receives.
class TWatcher : public TComponent {
public:
    explicit TWatcher(std::string Name, std::vector<std::string>* Journal,
                      QObject* AOwner = nullptr)
        : TComponent(AOwner), fName(std::move(Name)), fJournal(Journal) {}
    ~TWatcher() override { Destroying(); }

    QObject* Reference = nullptr;
    std::vector<QObject*> Removed;
    bool LoadingInLoaded = false;
    bool RaiseInLoaded = false;

    void Watch(QObject* Other) {
        Reference = Other;
        FreeNotification(Other);
    }

protected:
    void Loaded() override {
        LoadingInLoaded = ComponentState().Contains(csLoading);
        TComponent::Loaded();
        if (fJournal != nullptr) {
            fJournal->push_back(fName + ".Loaded");
        }
        if (RaiseInLoaded) {
            throw ElxError("Loaded failed");
        }
    }
    void Notification(QObject* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove) {
            Removed.push_back(AComponent);
            if (AComponent == Reference) {
                Reference = nullptr;
            }
        }
    }

private:
    std::string fName;
    std::vector<std::string>* fJournal;
};

// An object's address as a number: compared after the object is gone.
std::uintptr_t Address(const QObject* Object) {
    return reinterpret_cast<std::uintptr_t>(Object);
}

TEST(LxComponent, OwnerNameAndStateFlags) {
    QObject Form;
    auto* Component = new TWatcher("C", nullptr, &Form);
    QPointer<QObject> Watch(Component);
    Component->SetName("lxComm");
    EXPECT_EQ(Component->Owner(), &Form);
    EXPECT_EQ(Component->Name(), "lxComm");
    EXPECT_TRUE(Component->ComponentState().Empty());
    Component->SetDesigning(true);
    EXPECT_EQ(Component->ComponentState(), TComponentState{csDesigning});
    Component->SetDesigning(false);
    EXPECT_TRUE(Component->ComponentState().Empty());
    delete Component; // the owner lets go of what is destroyed before it
    EXPECT_TRUE(Watch.isNull());
    EXPECT_TRUE(Form.children().isEmpty());
}

TEST(LxComponent, TheOwnerDestroysWhatItOwns) {
    auto Form = std::make_unique<QObject>();
    QPointer<TWatcher> Owned = new TWatcher("C", nullptr, Form.get());
    Form.reset();
    EXPECT_TRUE(Owned.isNull());
}

TEST(LxComponent, FreeNotificationLinksBothWays) {
    for (const bool FirstGoesFirst : {true, false}) {
        auto First = std::make_unique<TWatcher>("A", nullptr);
        auto Second = std::make_unique<TWatcher>("B", nullptr);
        First->Watch(Second.get());
        First->Watch(Second.get()); // linked once
        Second->Reference = First.get();
        const std::uintptr_t Gone = Address(FirstGoesFirst ? First.get() : Second.get());
        TWatcher* const Stays = FirstGoesFirst ? Second.get() : First.get();
        (FirstGoesFirst ? First : Second).reset();
        ASSERT_EQ(Stays->Removed.size(), 1u) << FirstGoesFirst;
        EXPECT_EQ(Address(Stays->Removed[0]), Gone) << FirstGoesFirst;
        EXPECT_EQ(Stays->Reference, nullptr) << FirstGoesFirst;
    }
}

TEST(LxComponent, RemoveFreeNotificationUnlinksBothWays) {
    auto First = std::make_unique<TWatcher>("A", nullptr);
    auto Second = std::make_unique<TWatcher>("B", nullptr);
    First->Watch(Second.get());
    Second->RemoveFreeNotification(First.get());
    First.reset();
    EXPECT_TRUE(Second->Removed.empty());
}

TEST(LxComponent, APlainQObjectIsWatchedThroughItsDestruction) {
    TWatcher Component("C", nullptr);
    auto Edit = std::make_unique<QObject>();
    Component.Watch(Edit.get());
    const std::uintptr_t Gone = Address(Edit.get());
    Edit.reset();
    ASSERT_EQ(Component.Removed.size(), 1u);
    EXPECT_EQ(Address(Component.Removed[0]), Gone);
    EXPECT_EQ(Component.Reference, nullptr);

    // Unlinked, or outlived by the object, nothing more arrives.
    auto Other = std::make_unique<QObject>();
    Component.Watch(Other.get());
    Component.RemoveFreeNotification(Other.get());
    Other.reset();
    EXPECT_EQ(Component.Removed.size(), 1u);
    auto Survivor = std::make_unique<QObject>();
    {
        TWatcher ShortLived("S", nullptr);
        ShortLived.Watch(Survivor.get());
    }
    Survivor.reset(); // would reach the gone watcher if its link had stayed
}

TEST(LxComponent, LinkingItselfOrNoneDoesNothing) {
    TWatcher Component("C", nullptr);
    Component.FreeNotification(&Component);
    Component.FreeNotification(nullptr);
    SUCCEED(); // the destructor finds nothing to notify (ASan would catch a stray entry)
}

TEST(LxComponent, LoadComponentsAppliesInTheLoadingStateThenCallsLoadedInOrder) {
    std::vector<std::string> Journal;
    TWatcher A("A", &Journal);
    TWatcher B("B", &Journal);
    LoadComponents({&A, &B}, [&] {
        EXPECT_TRUE(A.ComponentState().Contains(csLoading));
        EXPECT_TRUE(B.ComponentState().Contains(csLoading));
        Journal.push_back("Apply");
    });
    EXPECT_EQ(Journal, (std::vector<std::string>{"Apply", "A.Loaded", "B.Loaded"}));
    EXPECT_TRUE(A.LoadingInLoaded);
    EXPECT_FALSE(A.ComponentState().Contains(csLoading));
    EXPECT_FALSE(B.ComponentState().Contains(csLoading));
}

TEST(LxComponent, LoadComponentsFailuresEndTheLoadingState) {
    std::vector<std::string> Journal;
    TWatcher A("A", &Journal);
    TWatcher B("B", &Journal);

    // Apply raises: nothing is Loaded, and nothing stays in the loading state.
    EXPECT_THROW(LoadComponents({&A, &B}, [] { throw ElxError("bad property"); }), ElxError);
    EXPECT_TRUE(Journal.empty());
    EXPECT_FALSE(A.ComponentState().Contains(csLoading));
    EXPECT_FALSE(B.ComponentState().Contains(csLoading));

    // One Loaded raises: the others still run, then the failure passes on.
    A.RaiseInLoaded = true;
    EXPECT_THROW(LoadComponents({&A, &B}, [] {}), ElxError);
    EXPECT_EQ(Journal, (std::vector<std::string>{"A.Loaded", "B.Loaded"}));
    EXPECT_FALSE(B.ComponentState().Contains(csLoading));
}

} // namespace
