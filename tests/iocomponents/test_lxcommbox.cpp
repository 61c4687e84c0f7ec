// The device selector box on a real offscreen combo box, bound to serial components whose port
// lists come from a port folder of pseudo-terminal links: binding, the user's pick (a key press,
// as a user makes it), the component's changes, and the ends of either side.
#include "lxcomm.h"
#include "lxcommbox.h"
#include "pty.h"

#include <QApplication>
#include <QKeyEvent>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using lxtest::TPortFolder;
using lxtest::TPtyPair;

std::vector<QString> Texts(const TlxDeviceBox& Box) {
    std::vector<QString> Found;
    for (int Index = 0; Index < Box.count(); ++Index) {
        Found.push_back(Box.itemText(Index));
    }
    return Found;
}

// What the user does to move the selection with the keyboard: the box emits activated.
void PressKey(TlxDeviceBox& Box, Qt::Key Key) {
    QKeyEvent Press(QEvent::KeyPress, Key, Qt::NoModifier);
    QApplication::sendEvent(&Box, &Press);
}

// Counts the box's OnChange and notes what the component had selected by then.
class TBoxChangeWatcher {
public:
    void Changed(QObject* Sender) {
        Senders.push_back(Sender);
        auto* Box = qobject_cast<TlxDeviceBox*>(Sender);
        PortAtChange = Box != nullptr && Box->lxComm() != nullptr
                           ? static_cast<TlxComm*>(Box->lxComm())->ComPortNo()
                           : -1;
    }
    std::vector<QObject*> Senders;
    int PortAtChange = -1;
};

// Another listener of the component's notices, registered behind the box.
class TBoxNeighbourListener {
public:
    void Notified(QObject*, int Code) { Codes.push_back(Code); }
    std::vector<int> Codes;
};

const std::vector<QString> OneAndThree{QStringLiteral("COM1"), QStringLiteral("COM3")};

// Two pseudo-terminals linked as COM1 and COM3; the machine's own ports stay out of the list.
class DeviceBox : public testing::Test {
protected:
    void SetUp() override {
        Folder.Link("COM1", One.SlavePath());
        Folder.Link("COM3", Three.SlavePath());
    }

    // A component whose list is not loaded yet: binding must load it.
    std::unique_ptr<TlxComm> MakeComm(quint16 Port) {
        auto Comm = std::make_unique<TlxComm>();
        Comm->SetComPortNo(Port);
        return Comm;
    }

    TPortFolder Folder;
    TPtyPair One;
    TPtyPair Three;
};

TEST_F(DeviceBox, BindingListsTheDevicesAndSelectsTheComponentsPort) {
    struct TCase {
        quint16 Port;
        int Selected;
    };
    for (const TCase& Case : {TCase{3, 1}, TCase{1, 0}, TCase{2, -1}}) {
        SCOPED_TRACE(Case.Port);
        auto Comm = MakeComm(Case.Port);
        TlxDeviceBox Box;
        EXPECT_FALSE(Box.isEditable()) << "the user can only pick";
        EXPECT_TRUE(Box.setProperty("ResetOnChanged", true));
        // As the form description sets it.
        ASSERT_TRUE(Box.setProperty("lxComm", QVariant::fromValue<TlxBaseIO*>(Comm.get())));
        EXPECT_EQ(Box.lxComm(), Comm.get());
        EXPECT_EQ(Texts(Box), OneAndThree);
        EXPECT_EQ(Box.currentIndex(), Case.Selected);
        ASSERT_EQ(Comm->DeviceCount(), 2);
        EXPECT_EQ(Box.ItemDevice(0), Comm->Device(0));
        EXPECT_EQ(Box.ItemDevice(1), Comm->Device(1));
        EXPECT_EQ(Box.ItemDevice(2), nullptr);
    }
}

TEST_F(DeviceBox, UnbindingEmptiesTheBox) {
    auto Comm = MakeComm(3);
    TlxDeviceBox Box;
    Box.SetlxComm(Comm.get());
    Box.SetlxComm(nullptr);
    EXPECT_EQ(Box.lxComm(), nullptr);
    EXPECT_EQ(Box.count(), 0);
    EXPECT_EQ(Box.currentIndex(), -1);
    // The component no longer reaches the box.
    Comm->SetComPortNo(1);
    EXPECT_EQ(Box.count(), 0);
}

TEST_F(DeviceBox, AUserPickSelectsThePortAndTheRefilledBoxKeepsIt) {
    auto Comm = MakeComm(1);
    TlxDeviceBox Box;
    TBoxChangeWatcher Watcher;
    Box.SetOnChange(TNotifyEvent::Bind<&TBoxChangeWatcher::Changed>(&Watcher));
    Box.SetlxComm(Comm.get());
    ASSERT_EQ(Box.currentIndex(), 0);
    // A stale text shows whether the box was refilled from the component.
    Box.setItemText(1, QStringLiteral("stale"));

    PressKey(Box, Qt::Key_Down);
    EXPECT_EQ(Comm->ComPortNo(), 3);
    EXPECT_EQ(Texts(Box), OneAndThree);
    EXPECT_EQ(Box.currentIndex(), 1);
    EXPECT_EQ(Box.ItemDevice(1), Comm->Device(1));
    ASSERT_EQ(Watcher.Senders, std::vector<QObject*>{&Box});
    EXPECT_EQ(Watcher.PortAtChange, 3) << "OnChange follows the component's selection";

    // Picking the same item again is no pick; the box changes nothing.
    PressKey(Box, Qt::Key_Down);
    EXPECT_EQ(Watcher.Senders.size(), 1u);
}

TEST_F(DeviceBox, APickMovesAnOpenPortToThePickedTerminal) {
    auto Comm = MakeComm(1);
    TlxDeviceBox Box;
    Box.SetlxComm(Comm.get());
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());

    PressKey(Box, Qt::Key_Down);
    ASSERT_TRUE(Comm->Active()) << "the port is reopened on the picked device";
    EXPECT_EQ(Comm->GetComName(), QStringLiteral("COM3"));
    Comm->SendData("pick", 4);
    EXPECT_EQ(Three.Read(4), "pick");
    EXPECT_EQ(Box.currentIndex(), 1);
    Comm->SetActive(false);
}

TEST_F(DeviceBox, FollowsTheComponentsChanges) {
    auto Comm = MakeComm(3);
    TlxDeviceBox Box;
    Box.SetlxComm(Comm.get());

    Comm->SetComPortNo(1);
    EXPECT_EQ(Box.currentIndex(), 0) << "a selection made elsewhere shows";
    Comm->SetComPortNo(2);
    EXPECT_EQ(Box.currentIndex(), -1) << "a port that is not listed shows no selection";

    // A port arrives; the owner hands the system's message to the box.
    TPtyPair Five;
    Folder.Link("COM5", Five.SlavePath());
    Comm->SetComPortNo(5);
    winapi::MSG Msg{};
    Msg.message = winapi::WM_DEVICECHANGE;
    Msg.wParam = winapi::DBT_DEVNODES_CHANGED;
    Box.WMDeviceChange(Msg);
    EXPECT_EQ(Texts(Box), (std::vector<QString>{QStringLiteral("COM1"), QStringLiteral("COM3"),
                                                QStringLiteral("COM5")}));
    EXPECT_EQ(Box.currentIndex(), 2);
    EXPECT_EQ(Box.ItemDevice(2), Comm->Device(2));

    // Unbound, the box passes nothing on.
    Folder.Unlink("COM5");
    Box.SetlxComm(nullptr);
    Box.WMDeviceChange(Msg);
    EXPECT_EQ(Comm->DeviceCount(), 3);
}

// The box's refill runs inside the component's call of its notify list; the handlers behind the
// box must still hear the notice, once.
TEST_F(DeviceBox, ListenersBehindTheBoxStillHearTheNotice) {
    auto Comm = MakeComm(1);
    TlxDeviceBox Box;
    Box.SetlxComm(Comm.get());
    TBoxNeighbourListener Neighbour;
    Comm->NotifyAdd(TlxNotifyEvent::Bind<&TBoxNeighbourListener::Notified>(&Neighbour));

    Comm->Update();
    EXPECT_EQ(Neighbour.Codes, std::vector<int>{3});
    PressKey(Box, Qt::Key_Down);
    EXPECT_EQ(Neighbour.Codes, (std::vector<int>{3, 3}));
    EXPECT_EQ(Box.currentIndex(), 1);
}

TEST_F(DeviceBox, TheBoundComponentGoingLeavesTheBoxUnbound) {
    auto Comm = MakeComm(3);
    TlxDeviceBox Box;
    TBoxChangeWatcher Watcher;
    Box.SetOnChange(TNotifyEvent::Bind<&TBoxChangeWatcher::Changed>(&Watcher));
    Box.SetlxComm(Comm.get());
    Comm.reset();

    EXPECT_EQ(Box.lxComm(), nullptr);
    EXPECT_EQ(Box.currentIndex(), -1);
    EXPECT_EQ(Texts(Box), OneAndThree) << "the texts stay";
    EXPECT_EQ(Box.ItemDevice(0), nullptr) << "the records went with the component";
    EXPECT_EQ(Box.ItemDevice(1), nullptr);

    // A pick without a component does nothing, OnChange included.
    PressKey(Box, Qt::Key_Down);
    EXPECT_TRUE(Watcher.Senders.empty());
    Box.WMDeviceChange(winapi::MSG{});
}

// The notify list knows the box's handler by its method alone: a handler left behind would keep
// a later box from registering (and be called on a box that is gone).
TEST_F(DeviceBox, ABoxLeavingAComponentLeavesNoHandlerWithIt) {
    enum TLeave { lvDestroyed, lvRebound, lvUnbound };
    for (TLeave Leave : {lvDestroyed, lvRebound, lvUnbound}) {
        SCOPED_TRACE(Leave);
        auto First = MakeComm(1);
        auto Second = MakeComm(1);
        auto Box = std::make_unique<TlxDeviceBox>();
        Box->SetlxComm(First.get());
        switch (Leave) {
        case lvDestroyed:
            Box.reset();
            break;
        case lvRebound:
            Box->SetlxComm(Second.get());
            break;
        case lvUnbound:
            Box->SetlxComm(nullptr);
            break;
        }

        TlxDeviceBox Later;
        Later.SetlxComm(First.get());
        First->SetComPortNo(3);
        EXPECT_EQ(Later.currentIndex(), 1) << "the later box is registered and follows";
        if (Box != nullptr && Leave == lvRebound) {
            Second->SetComPortNo(3);
            EXPECT_EQ(Box->currentIndex(), 1) << "the rebound box follows its new component";
        }
    }
}

// Two boxes on one component share one registration: the first box's. Whichever box leaves takes
// that registration with it, and neither side is left calling a box that is gone.
TEST_F(DeviceBox, TwoBoxesOnOneComponentShareOneRegistration) {
    enum TLeaver { lrFirst, lrSecond };
    enum THow { hwUnbound, hwDestroyed };
    for (TLeaver Leaver : {lrFirst, lrSecond}) {
        for (THow How : {hwUnbound, hwDestroyed}) {
            SCOPED_TRACE(testing::Message() << "leaver " << Leaver << ", how " << How);
            auto Comm = MakeComm(1);
            auto First = std::make_unique<TlxDeviceBox>();
            auto Second = std::make_unique<TlxDeviceBox>();
            First->SetlxComm(Comm.get());
            Second->SetlxComm(Comm.get());
            Comm->SetComPortNo(3);
            EXPECT_EQ(First->currentIndex(), 1) << "the first box is refilled";
            EXPECT_EQ(Second->currentIndex(), 0) << "the second one is not registered";

            std::unique_ptr<TlxDeviceBox>& Leaving = Leaver == lrFirst ? First : Second;
            std::unique_ptr<TlxDeviceBox>& Staying = Leaver == lrFirst ? Second : First;
            const int StayingIndex = Staying->currentIndex();
            if (How == hwUnbound) {
                Leaving->SetlxComm(nullptr);
            } else {
                Leaving.reset();
            }
            Comm->SetComPortNo(2);
            EXPECT_EQ(Staying->currentIndex(), StayingIndex) << "the one registration is gone";
            EXPECT_EQ(Staying->lxComm(), Comm.get());

            // The slot is free again: a box bound now is registered.
            TlxDeviceBox Third;
            Third.SetlxComm(Comm.get());
            Comm->SetComPortNo(3);
            EXPECT_EQ(Third.currentIndex(), 1);
        }
    }
}

} // namespace
