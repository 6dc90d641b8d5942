// The component base of the package: a QObject with an owner, a name and a
// design-mode flag.
//
// The owner is the QObject parent; it destroys its components with itself.
// The design-mode flag is fixed at construction: true only while a component
// is edited in a form designer, false whenever the program itself runs.
#pragma once

#include <QObject>
#include <QString>

namespace QORLNK {

/// Operation passed to TLNKComponent::Notification.
enum TOperation { opInsert, opRemove };

/// Base of the package's non-visual components.
class TLNKComponent : public QObject {
    Q_OBJECT
public:
    /// @param AOwner     the owning object (may be null)
    /// @param ADesigning true only while edited in a form designer
    explicit TLNKComponent(QObject* AOwner = nullptr, bool ADesigning = false)
        : QObject(AOwner), FDesigning(ADesigning) {}

    QObject* Owner() const { return parent(); }
    QString Name() const { return objectName(); }
    void SetName(const QString& AName) { setObjectName(AName); }
    /// True in design mode (edited in a form designer), false in run mode.
    bool Designing() const { return FDesigning; }

    /// Told when a component this one refers to is being removed.
    virtual void Notification(QObject* AComponent, TOperation Operation) {
        Q_UNUSED(AComponent);
        Q_UNUSED(Operation);
    }

private:
    const bool FDesigning;
};

} // namespace QORLNK
