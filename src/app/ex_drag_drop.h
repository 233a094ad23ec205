#pragma once
// TExDragDrop: lets a widget accept files and folders dropped from any file manager (drops of file URLs,
// text/uri-list), collects their full paths into Items and raises OnDropped once per drop.

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <functional>

class QMimeData;

namespace lorvane::app {

class TExDragDrop : public QObject {
    Q_OBJECT
public:
    explicit TExDragDrop(QObject* owner = nullptr);
    ~TExDragDrop() override; // unbinds

    // Binds (accepting drops on it, and on its viewport for a scroll area) or, with nullptr, unbinds;
    // binding another widget unbinds the first. Only drags from outside the program are taken; every
    // other event, the widget's own drags included, passes on unchanged.
    void SetControl(QWidget* control);
    QWidget* Control() const { return m_control; }
    // The full paths of the last drop, in the order the drop listed them.
    const QStringList& Items() const { return m_items; }

    std::function<void(QObject* sender, int itemsCount)> OnDropped;

    // The drop itself (also reachable without a real drag, for tests): fills Items with the local
    // files of the data's URLs and raises OnDropped; false, with Items kept, when the data names no
    // local file.
    bool HandleDrop(const QMimeData* data);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Unbind();

    QPointer<QWidget> m_control;
    QPointer<QWidget> m_viewport; // the scroll area's viewport, where item views receive drops
    QStringList m_items;
};

} // namespace lorvane::app
