#pragma once
// TfrmSessions, "Disc & Sessions Information": the medium, the disc size, the used space, one line per
// session with its start and size, and the free-space line. Choosing a session line imports that
// session into the burner's tree and opens the file viewer on it. Made for each "Disc Info" click.

#include <QDialog>

#include <functional>

class QFrame;
class QKeyEvent;
class QLabel;
class QListWidget;
class QPushButton;
class QShowEvent;
class QToolButton;

namespace lorvane::image {
class TOrbelBurner;
}

namespace lorvane::app {

class TfrmTree;

// The room the compilation is cleared to before a session is imported for browsing.
inline constexpr int kViewerMaxFiles = 65535;
inline constexpr int kViewerMaxDirectories = 8191;

class TfrmSessions : public QDialog {
    Q_OBJECT
public:
    TfrmSessions(QWidget* owner, image::TOrbelBurner& orbel);
    ~TfrmSessions() override;

    QFrame* Panel1 = nullptr;
    QLabel* Label1 = nullptr; // "Medium  :"
    QLabel* Label2 = nullptr; // "Disc Size  :"
    QLabel* Label3 = nullptr; // "Used Space  :"
    QLabel* lMedium = nullptr;
    QLabel* lDiscSize = nullptr;
    QLabel* lUsedSpace = nullptr;
    QFrame* Panel2 = nullptr;
    QLabel* Label4 = nullptr;            // the column captions
    QToolButton* SpeedButton1 = nullptr; // "Show Files"
    QListWidget* lb = nullptr;
    QPushButton* Button1 = nullptr; // the default button, out of sight: Enter closes the dialog

    // Replaceable so tests can answer them: a message box with an OK button, and the modal showing of
    // the file viewer (the default runs exec()).
    std::function<void(const QString& text)> ShowMessage;
    std::function<void(TfrmTree& viewer)> ShowViewer;

    // Empties the list and fills it and the labels from the drive.
    void ReadDisc();

    // "Show Files", and a single click on a line: opens the viewer on the selected session.
    void SpeedButton1Click();
    // Closes the dialog (Enter, and a double click on the list).
    void Button1Click();
    // Esc closes the dialog; true when the key was taken.
    bool FormKeyPress(int key);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    image::TOrbelBurner& m_orbel;
};

} // namespace lorvane::app
