#pragma once
// TForm1, the main window: the drive and speed lists, the local folder and file browsers, the
// compilation list, the command buttons, the progress bars and the log. It owns the one burner
// component, orbel, and turns its operations and events into controls, message boxes and log lines.

#include <QComboBox>
#include <QMessageBox>
#include <QString>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/app_options.h"
#include "drive/scsi_device.h"
#include "image/orbel_burner.h"
#include "transport/clock.h"

class QAction;
class QCheckBox;
class QFileSystemModel;
class QFrame;
class QLabel;
class QListView;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSplitter;
class QTimer;
class QTreeView;
class QUrl;

namespace lorvane::app {

class TCompilationList;
class TfrmSettings;
class TfrmDiscLayout;
class TForm2;
class TfrmSessions;

inline constexpr const char* kMainWindowCaption = "Lorvane 1.1.8";
inline constexpr const char* kMakerAddress = "https://lorvane.example/";
inline constexpr const char* kSupportAddress = "https://lorvane.example/support";
// Room the compilation is cleared to before every burn and image build.
inline constexpr int kCompilationMaxFiles = 600000;
inline constexpr int kCompilationMaxDirectories = 20000;

// cbSpeed: a drop-down list that asks for its rows again each time it opens.
class TSpeedComboBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> OnDropDown;
    void showPopup() override;
};

// The log window as the component's DebugWindow. Lines from worker threads are queued to the widget's
// thread; lines from that thread are appended at once, so they keep their order with the queued ones
// that were raised before them.
class MemoLogSink final : public drive::DebugTextSink {
public:
    explicit MemoLogSink(QPlainTextEdit* memo) : m_memo(memo) {}
    ~MemoLogSink() override { DetachFromDevices(); }
    void AppendLine(const std::string& line) override;

private:
    QPlainTextEdit* m_memo; // outlives the sink: it is a child of the window that owns the sink
};

class TForm1 : public QWidget {
    Q_OBJECT
public:
    // clock: every wait of the burner and its workers (tests pass a virtual one).
    explicit TForm1(transport::Clock& clock = transport::SystemClock(), QWidget* parent = nullptr);
    ~TForm1() override;

    // The burner component and the application options (named after their keys in the settings file).
    image::TOrbelBurner orbel;
    AppOptions Options;

    // Top bar.
    QFrame* pTop = nullptr;
    QLabel* lDrive = nullptr;
    QComboBox* cbDrives = nullptr;
    QPushButton* bCaps = nullptr;
    TSpeedComboBox* cbSpeed = nullptr;
    QPushButton* bDisc = nullptr;
    QPushButton* bAdvance = nullptr;
    QPushButton* bBurn = nullptr;
    // Second bar.
    QFrame* pTop2 = nullptr;
    QPushButton* bQErase = nullptr;
    QPushButton* bCErase = nullptr;
    QPushButton* bLoad = nullptr;
    QPushButton* bEject = nullptr;
    QPushButton* bReady = nullptr;
    QLabel* Label1 = nullptr; // the maker's web address
    // Compilation side.
    QWidget* pDiscFiles = nullptr;
    QWidget* Panel4 = nullptr;
    QPushButton* bSaveISO = nullptr;
    QPushButton* bBurnISO = nullptr;
    QCheckBox* cPathInfo = nullptr;
    QPushButton* bClear = nullptr;
    TCompilationList* clBox = nullptr;
    // Local files side.
    QWidget* pDrivesDir = nullptr;
    QWidget* Panel2 = nullptr;
    QComboBox* DriveCB = nullptr;
    QPushButton* bNetwork = nullptr;
    QTreeView* lbDir = nullptr;
    QListView* lbFiles = nullptr;
    // Log.
    QPlainTextEdit* Memo1 = nullptr;
    QAction* ClearAll1 = nullptr; // "Clear Log", F8
    // Status bar.
    QFrame* pbottom = nullptr;
    QLabel* Label6 = nullptr;
    QProgressBar* pcd = nullptr;
    QLabel* lSize = nullptr;
    QPushButton* bAbort = nullptr;
    QLabel* Label5 = nullptr;
    QProgressBar* pBuf = nullptr;
    QProgressBar* pHBuf = nullptr;
    QTimer* Timer1 = nullptr;

    // Every question, message and dialog goes through these, so tests can answer them.
    // A Yes/No box: the icon, the caption, the text and the default button; returns the button pressed.
    std::function<QMessageBox::StandardButton(QMessageBox::Icon icon, const QString& caption,
                                              const QString& text, QMessageBox::StandardButton defaultButton)>
        AskYesNo;
    // A message box with an OK button.
    std::function<void(QMessageBox::Icon icon, const QString& text)> ShowMessage;
    // The input box: nullopt when cancelled.
    std::function<std::optional<QString>(const QString& caption, const QString& prompt,
                                         const QString& initial)>
        InputBox;
    // The open dialog of image files: the chosen file, empty when cancelled.
    std::function<QString()> OpenImageFile;
    // Shows the settings dialog modally (the default runs exec()).
    std::function<void(TfrmSettings& dialog)> ShowSettings;
    // Shows the layout editor and the drive capabilities dialog modally (the defaults run exec()).
    std::function<void(TfrmDiscLayout& window)> ShowDiscLayout;
    std::function<void(TForm2& dialog)> ShowCaps;
    // Shows the disc information dialog modally, once it has read the disc (the default runs exec()).
    std::function<void(TfrmSessions& dialog)> ShowSessions;
    // Opens a web address in the user's browser.
    std::function<void(const QUrl& address)> OpenUrl;
    // The system's default sound.
    std::function<void()> Beep;

    // The settings dialog as "Advance" opens it, its check boxes set from the options.
    std::unique_ptr<TfrmSettings> CreateSettingsDialog();

    // Start-up and the small operations.
    void FormShow();
    void cbDrivesChange();
    void cbSpeedDropDown();
    void Panel2Resize();
    void bNetworkClick();
    void Label1Click();
    void CopyLog(); // F5
    void ClearAll1Click();
    void cPathInfoClick();
    void bClearClick();
    // The folder the folder list shows (and so the file list); false when it is no folder.
    bool SetBrowseFolder(const QString& folder);
    QString BrowseFolder() const;

    // Commands.
    void bBurnClick();
    void bCDHeaderClick();
    void bSaveISOClick();
    void bBurnISOClick();
    void bQEraseClick();
    void bCEraseClick();
    void bLoadClick();
    void bEjectClick();
    void bReadyClick();
    void bAbortClick();
    void bDiscClick();
    void bCapsClick();
    void Timer1Timer();

    // The burner's completion events, raised on any thread; their work is queued to this window's thread.
    void orbelWriteDone(const std::string& error);
    void orbelEraseDone(bool withError);

    SavePathState SavePath() const;
    void SetSavePath(SavePathState state);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    enum class Operation { None, Burn, BuildImage, BurnImage };

    void BuildControls();
    void ConnectControls();
    void InstallDefaultDialogs();
    void FillVolumes();
    void Log(const QString& line);
    void LetWindowRepaint();
    void ApplySelectedSpeed();
    void ReadDriveBuffer();
    void Erase(bool quick);
    void WriteDone(const std::string& error);
    void EraseDone(bool withError);
    void SetBusy(bool busy);
    void UpdateEnabled();
    bool TransferRows(); // clears the compilation and fills it from clBox; true when it holds anything
    QStringList SelectedFiles() const;

    std::unique_ptr<MemoLogSink> m_logSink; // made once Memo1 exists
    QFileSystemModel* m_dirModel = nullptr;
    QFileSystemModel* m_fileModel = nullptr;
    bool m_shown = false;
    bool m_transportReady = true;
    bool m_busy = false;    // a burn, an image build or an image burn runs
    bool m_erasing = false; // an erase runs, from its start until its end has been handled here
    std::atomic<bool> m_eraseDoneRaised{false}; // set by OnEraseDone on any thread, read after EraseDisc
    Operation m_operation = Operation::None;
    QString m_imageFileName; // of the running image build
};

} // namespace lorvane::app
