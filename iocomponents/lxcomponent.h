// The component model the library's components live in, on QObject: an owner that destroys what
// it owns (the QObject parent), a name (the objectName), the states csLoading and csDesigning,
// Loaded after the stored properties are applied, and removal notification between components.
//
// Removal notification. A.FreeNotification(B) links A and B both ways: when either is destroyed,
// the other's Notification(gone one, opRemove) runs, and a component that keeps a reference to
// another clears it there. A plain QObject (an edit, a widget) can be linked too; it cannot
// listen, so only the component learns of its destruction (through QObject::destroyed). Each
// component that keeps a reference asks for the link itself; there is no owner-wide broadcast.
//
// Destruction order. The removal notices go out from Destroying(). ~TComponent calls it, but by
// then the derived parts of the object are gone, and a listener that calls back into the dying
// object (a data processor removing its handler from a component's notify list, say) would reach
// a half-destroyed object. So a class whose listeners call back into it calls Destroying() first
// in its own destructor, while its fields are still whole; ~TComponent then has nothing left to
// send. The QObject children (the owned components) are destroyed after all of that.
#pragma once

#include "lxset.h"

#include <QMetaObject>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <vector>

enum TComponentStateFlag { csLoading, csDesigning, csDestroying };
using TComponentState = TlxSet<TComponentStateFlag>;

// What Notification reports. This model sends opRemove only; opInsert completes the vocabulary.
enum TOperation { opInsert, opRemove };

class TComponent : public QObject {
    Q_OBJECT
public:
    explicit TComponent(QObject* AOwner = nullptr);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    QObject* Owner() const { return parent(); }
    QString Name() const { return objectName(); }
    void SetName(const QString& Value) { setObjectName(Value); }

    // Readable from any thread: the I/O threads test csLoading before they report an error.
    TComponentState ComponentState() const { return fComponentState.load(); }
    // The form designer's switch. Set before the component is used, on its own thread.
    void SetDesigning(bool Value);

    // Links this component and AComponent for removal notification (see above). Linking twice,
    // linking to itself or to none, and linking while either side is being destroyed do nothing.
    void FreeNotification(QObject* AComponent);
    // Undoes the link in both directions.
    void RemoveFreeNotification(QObject* AComponent);

protected:
    // Runs once the stored properties have been applied; the base ends the loading state, so an
    // override calls it first and then acts on what was stored.
    virtual void Loaded();
    // AComponent is being inserted or removed. The base drops the link to a removed component; an
    // override calls it and then forgets its own references to AComponent.
    virtual void Notification(QObject* AComponent, TOperation Operation);
    // Sends the removal notices, once (see Destruction order above).
    void Destroying();

private:
    friend void LoadComponents(const std::vector<TComponent*>& Components,
                               const std::function<void()>& Apply);

    // One linked object. Component is set for a TComponent, Destroyed for a plain QObject.
    struct TFreeNotify {
        QObject* Object;
        TComponent* Component;
        QMetaObject::Connection Destroyed;
    };

    void SetState(TComponentStateFlag Flag, bool Value);
    // Drops this side of a link to AComponent.
    void RemoveNotification(QObject* AComponent);

    std::atomic<TComponentState> fComponentState{};
    std::vector<TFreeNotify> fFreeNotifies;
};

// Applies stored properties the way a form's layout description would: every component enters the
// loading state, Apply writes their properties, then each component's Loaded runs, in the given
// order. If Apply raises, the components leave the loading state without Loaded (a half-applied
// configuration must not open anything) and the exception passes on. An exception from one
// Loaded does not keep the others from running; the first one passes on afterwards.
void LoadComponents(const std::vector<TComponent*>& Components, const std::function<void()>& Apply);
