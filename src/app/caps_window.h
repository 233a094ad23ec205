#pragma once
// TForm2, "Device Capabilities": what the selected drive reads and writes and how fast, as ReadCapabilities
// found it when the drive was selected. Read-only; it sends no command of its own.

#include <QDialog>

#include <cstdint>
#include <string>

class QCheckBox;
class QFrame;
class QLabel;
class QPushButton;

namespace lorvane::drive {
class TSCSIDevice;
}

namespace lorvane::app {

inline constexpr const char* kCapsCaption = "Device Capabilities";

class TForm2 : public QDialog {
    Q_OBJECT
public:
    // Shows the capabilities, the device string and the maximum speeds the device holds now.
    TForm2(QWidget* owner, const drive::TSCSIDevice& device);

    QLabel* Label1 = nullptr; // the device string
    QFrame* Panel2 = nullptr; // disabled, so that no box can be changed
    QCheckBox* ReadCDR = nullptr;
    QCheckBox* ReadCDRW = nullptr;
    QCheckBox* ReadDVDR = nullptr;
    QCheckBox* ReadDVDRW = nullptr;
    QCheckBox* ReadDVDRAM = nullptr;
    QCheckBox* ReadDVDPR = nullptr;
    QCheckBox* ReadDVDPRW = nullptr;
    QCheckBox* ReadDVD = nullptr;
    QCheckBox* WriteCDR = nullptr;
    QCheckBox* WriteCDRW = nullptr;
    QCheckBox* WriteDVDR = nullptr;
    QCheckBox* WriteDVDRW = nullptr;
    QCheckBox* WriteDVDRAM = nullptr;
    QCheckBox* WriteDVDPR = nullptr;
    QCheckBox* WriteDVDPRW = nullptr;
    QCheckBox* WriteTest = nullptr;
    QCheckBox* UnderrunProtection = nullptr;
    QLabel* Label2 = nullptr;       // maximum write speed
    QLabel* Label3 = nullptr;       // maximum read speed
    QPushButton* Button1 = nullptr; // "Close", the cancel button, out of sight: Esc closes

    // Ticks the boxes from a Capabilities flag set and sets the three labels.
    void ShowCapabilities(const std::string& deviceString, std::uint32_t capabilities,
                          std::uint16_t maxWriteSpeed, std::uint16_t maxReadSpeed);
    void Button1Click();
};

} // namespace lorvane::app
