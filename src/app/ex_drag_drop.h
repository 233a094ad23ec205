#pragma once
// TExDragDrop: lets a widget accept files and folders dropped from any file manager (drops of file URLs,
// text/uri-list), collects their full paths into Items and raises OnDropped once per drop.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>

namespace lorvane::app {

class TExDragDrop : public QObject {
    Q_OBJECT
public:
    explicit TExDragDrop(QObject* owner = nullptr);
    ~TExDragDrop() override; // unbinds

    // Binds (accepting drops on it) or, with nullptr, unbinds; the widget's own events pass on unchanged.
    void SetControl(QWidget* control);
    QWidget* Control() const { return m_control; }
    // The full paths of the last drop, in the order the drop listed them.
    const QStringList& Items() const { return m_items; }

    std::function<void(QObject* sender, int itemsCount)> OnDropped;

    // The drop itself (also reachable without a real drag, for tests): fills Items and raises OnDropped
    // when the data holds file URLs; true when it did.
    bool HandleDrop(const class QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> m_control;
    QStringList m_items;
};

} // namespace lorvane::app
