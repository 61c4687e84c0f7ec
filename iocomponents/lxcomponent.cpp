#include "lxcomponent.h"

#include <algorithm>
#include <exception>

TComponent::TComponent(QObject* AOwner) : QObject(AOwner) {}

TComponent::~TComponent() {
    Destroying();
}

void TComponent::SetDesigning(bool Value) {
    SetState(csDesigning, Value);
}

void TComponent::SetState(TComponentStateFlag Flag, bool Value) {
    TComponentState State = fComponentState.load();
    if (Value) {
        State.Include(Flag);
    } else {
        State.Exclude(Flag);
    }
    fComponentState.store(State);
}

void TComponent::FreeNotification(QObject* AComponent) {
    if (AComponent == nullptr || AComponent == this || ComponentState().Contains(csDestroying)) {
        return;
    }
    const bool Linked =
        std::any_of(fFreeNotifies.begin(), fFreeNotifies.end(),
                    [AComponent](const TFreeNotify& Entry) { return Entry.Object == AComponent; });
    if (Linked) {
        return;
    }
    if (auto* Other = dynamic_cast<TComponent*>(AComponent)) {
        if (Other->ComponentState().Contains(csDestroying)) {
            return;
        }
        fFreeNotifies.push_back({AComponent, Other, {}});
        Other->fFreeNotifies.push_back({this, this, {}});
        return;
    }
    // The lambda runs from the object's ~QObject: only its address is used there.
    const QMetaObject::Connection Destroyed =
        connect(AComponent, &QObject::destroyed, this,
                [this, AComponent] { Notification(AComponent, opRemove); });
    fFreeNotifies.push_back({AComponent, nullptr, Destroyed});
}

void TComponent::RemoveFreeNotification(QObject* AComponent) {
    const auto Entry =
        std::find_if(fFreeNotifies.begin(), fFreeNotifies.end(),
                     [AComponent](const TFreeNotify& Item) { return Item.Object == AComponent; });
    if (Entry == fFreeNotifies.end()) {
        return;
    }
    TComponent* const Other = Entry->Component;
    RemoveNotification(AComponent);
    if (Other != nullptr) {
        Other->RemoveNotification(this);
    }
}

void TComponent::RemoveNotification(QObject* AComponent) {
    const auto Entry =
        std::find_if(fFreeNotifies.begin(), fFreeNotifies.end(),
                     [AComponent](const TFreeNotify& Item) { return Item.Object == AComponent; });
    if (Entry != fFreeNotifies.end()) {
        disconnect(Entry->Destroyed);
        fFreeNotifies.erase(Entry);
    }
}

void TComponent::Loaded() {
    SetState(csLoading, false);
}

void TComponent::Notification(QObject* AComponent, TOperation Operation) {
    if (Operation == opRemove && AComponent != nullptr) {
        RemoveFreeNotification(AComponent);
    }
}

void TComponent::Destroying() {
    if (ComponentState().Contains(csDestroying)) {
        return;
    }
    SetState(csDestroying, true);
    // Each entry leaves the list before its listener hears of us, so a listener that unlinks, or
    // calls back into this object, finds a consistent list.
    while (!fFreeNotifies.empty()) {
        const TFreeNotify Entry = fFreeNotifies.back();
        fFreeNotifies.pop_back();
        if (Entry.Component != nullptr) {
            Entry.Component->RemoveNotification(this);
            Entry.Component->Notification(this, opRemove);
        } else {
            disconnect(Entry.Destroyed);
        }
    }
}

void LoadComponents(const std::vector<TComponent*>& Components,
                    const std::function<void()>& Apply) {
    for (TComponent* Component : Components) {
        Component->SetState(csLoading, true);
    }
    try {
        Apply();
    } catch (...) {
        for (TComponent* Component : Components) {
            Component->SetState(csLoading, false);
        }
        throw;
    }
    std::exception_ptr First;
    for (TComponent* Component : Components) {
        try {
            Component->Loaded();
        } catch (...) {
            Component->SetState(csLoading, false);
            if (!First) {
                First = std::current_exception();
            }
        }
    }
    if (First) {
        std::rethrow_exception(First);
    }
}
