#include "app/ex_drag_drop.h"

#include <QAbstractScrollArea>
#include <QDropEvent>
#include <QEvent>
#include <QMimeData>
#include <QUrl>

#include <utility>

namespace lorvane::app {

namespace {

// The local paths among the data's URLs, in their order; URLs of other schemes are left out.
QStringList LocalPaths(const QMimeData* data) {
    QStringList paths;
    if (!data || !data->hasUrls()) return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile() && !url.toLocalFile().isEmpty()) paths.append(url.toLocalFile());
    return paths;
}

// A drag that started outside the program: one from our own widgets has a source.
bool IsFromOutside(const QDropEvent* event) {
    return event->source() == nullptr;
}

} // namespace

TExDragDrop::TExDragDrop(QObject* owner) : QObject(owner) {}

TExDragDrop::~TExDragDrop() {
    Unbind();
}

void TExDragDrop::SetControl(QWidget* control) {
    if (control == m_control) return;
    Unbind();
    if (!control) return;
    m_control = control;
    control->setAcceptDrops(true);
    control->installEventFilter(this);
    if (auto* area = qobject_cast<QAbstractScrollArea*>(control)) {
        m_viewport = area->viewport();
        m_viewport->setAcceptDrops(true);
        m_viewport->installEventFilter(this);
    }
}

void TExDragDrop::Unbind() {
    // The widgets keep accepting drops; without the filter they reach the widget's own handlers.
    if (m_viewport) m_viewport->removeEventFilter(this);
    if (m_control) m_control->removeEventFilter(this);
    m_viewport = nullptr;
    m_control = nullptr;
}

bool TExDragDrop::HandleDrop(const QMimeData* data) {
    QStringList paths = LocalPaths(data);
    if (paths.isEmpty()) return false;
    m_items = std::move(paths);
    if (OnDropped) OnDropped(this, static_cast<int>(m_items.size()));
    return true;
}

bool TExDragDrop::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_control && watched != m_viewport) return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (!IsFromOutside(drag) || LocalPaths(drag->mimeData()).isEmpty()) return false;
        drag->setDropAction(Qt::CopyAction);
        drag->accept();
        return true;
    }
    case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!IsFromOutside(drop)) return false;
        // Never a move: the file manager must not delete what was dropped.
        if (!HandleDrop(drop->mimeData())) return false;
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        return true;
    }
    default: return false;
    }
}

} // namespace lorvane::app
