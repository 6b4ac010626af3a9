#pragma once

#include "SettingsReview.h"

#include <QDialog>
#include <QSpinBox>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class TDeviceCatalogue;
class TSlotInfo;

// A whole number typed by the user (blanks around it allowed), or nothing.
std::optional<int> ParseWholeNumber(const QString& text);

// The text after the days field: "days (~%d GB)" with the space `days` days
// take at the typed bit rate (kbit/s, or bit/s for the WMA formats), or "days"
// when there is no usable bit rate.
QString CleanupEstimate(const QString& bitrateText, TSlotFormat format, const QString& daysText);

// A number field with its spinner; the typed text is what the estimate reads.
class TNumberField : public QSpinBox {
public:
    TNumberField(int minimum, int maximum, int step);
    using QSpinBox::lineEdit;
};

// Edits one slot's settings. OK writes them into the slot (under its lock) and
// reports in InputChanged and OutputChanged what the controller must restart;
// Cancel writes nothing.
class TConfigureSlotForm : public QDialog {
    Q_OBJECT
public:
    // The bit rates (bit/s) the WMA encoder offers for a sample rate and channel count.
    using TWmaRates = TWmaRateSource;

    TConfigureSlotForm(QWidget* owner, TSlotInfo& slot, TDeviceCatalogue& devices, TWmaRates wmaRates = {});

    bool InputChanged() const { return FInputChanged; }
    bool OutputChanged() const { return FOutputChanged; }
    // OK replaced settings that were changed elsewhere (the web) while the dialog was open.
    bool ReplacedOtherChange() const { return FReplacedOtherChange; }

    // The controls, for whoever drives the dialog without a mouse.
    QLineEdit* edName;
    QRadioButton* rbDisabled;
    QRadioButton* rbSoundcard;
    QComboBox* cbDevice;
    QPushButton* btnControlPanel;
    QRadioButton* rbStream;
    QLineEdit* edStreamURL;
    TNumberField* udNominalLevel;
    TNumberField* udRecordDelay;
    QLineEdit* edFolder;
    QPushButton* btnSelectOutputFolder;
    QCheckBox* cbFlatFilenames;
    QCheckBox* cbNoAutoRotate;
    QComboBox* cbFormat;
    QComboBox* cbBitrate;
    QComboBox* cbMode;
    QComboBox* cbSamplerate;
    QLineEdit* edEncoderOptions;
    QCheckBox* cbCleanupDaysEnabled;
    TNumberField* udCleanupDays;
    QLabel* lblCleanupDays;
    QCheckBox* cbCleanupSpaceEnabled;
    TNumberField* udCleanupSpace;
    QCheckBox* cbSilenceAlarm;
    TNumberField* udSilenceLevel;
    TNumberField* udSilenceSeconds;
    QPushButton* btnOk;
    QPushButton* btnCancel;

    static constexpr const char* WmaMissingMessage =
        "WMA Pro is not supported on your system. Please check if the necessary codecs are installed.";

public Q_SLOTS:
    void btnOkClick();
    void cbDeviceChange();
    void edStreamURLChange();
    void cbFormatChange();
    void btnControlPanelClick();
    void btnSelectOutputFolderClick();
    void UpdateCleanupEstimate();

private:
    void BuildControls();
    void FormCreate();
    TSlotSource SelectedSource() const;
    std::string SelectedDevice() const;

    TSlotInfo& FSlot;
    TDeviceCatalogue& FDevices;
    TWmaRates FWmaRates;
    bool FInputChanged = false;
    bool FOutputChanged = false;
    std::uint64_t FOpenedRevision = 0;
    bool FReplacedOtherChange = false;
};
