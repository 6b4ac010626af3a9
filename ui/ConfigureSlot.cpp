#include "ConfigureSlot.h"

#include "AudioDevices.h"
#include "SelectFolder.h"
#include "SlotInfo.h"
#include "WindowFont.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <chrono>
#include <climits>
#include <mutex>

namespace {

QStringList Texts(const std::vector<int>& values) {
    QStringList texts;
    for (int v : values) {
        texts << QString::number(v);
    }
    return texts;
}

// A control with its unit after it, as one cell of a grid.
QWidget* WithUnit(QWidget* control, QWidget* unit) {
    auto* cell = new QWidget;
    auto* row = new QHBoxLayout(cell);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(control);
    row->addWidget(unit);
    row->addStretch();
    return cell;
}

} // namespace

TNumberField::TNumberField(int minimum, int maximum, int step) {
    setRange(minimum, maximum);
    setSingleStep(step);
    setGroupSeparatorShown(false);
}

std::optional<int> ParseWholeNumber(const QString& text) {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok, 10);
    if (!ok || value < INT_MIN || value > INT_MAX) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

QString CleanupEstimate(const QString& bitrateText, TSlotFormat format, const QString& daysText) {
    return QString::fromStdString(::CleanupEstimate(ParseWholeNumber(bitrateText).value_or(0), format,
                                                    ParseWholeNumber(daysText).value_or(0)));
}

TConfigureSlotForm::TConfigureSlotForm(QWidget* owner, TSlotInfo& slot, TDeviceCatalogue& devices, TWmaRates wmaRates)
    : QDialog(owner), FSlot(slot), FDevices(devices), FWmaRates(wmaRates ? std::move(wmaRates) : TWmaRates(WmaEncoderRates)) {
    setWindowTitle(tr("Configure Slot"));
    setFont(WindowFont());
    BuildControls();
    FOpenedRevision = FSlot.SettingsRevision;
    FormCreate();
    // Connected after filling, which applies the rules itself in its own order.
    connect(cbDevice, &QComboBox::currentIndexChanged, this, &TConfigureSlotForm::cbDeviceChange);
    connect(edStreamURL, &QLineEdit::textChanged, this, &TConfigureSlotForm::edStreamURLChange);
    connect(cbFormat, &QComboBox::currentIndexChanged, this, &TConfigureSlotForm::cbFormatChange);
    connect(cbBitrate, &QComboBox::editTextChanged, this, &TConfigureSlotForm::UpdateCleanupEstimate);
    connect(udCleanupDays, &QSpinBox::valueChanged, this, &TConfigureSlotForm::UpdateCleanupEstimate);
    // Also text that is no number (an emptied field) counts.
    connect(udCleanupDays->lineEdit(), &QLineEdit::textChanged, this, &TConfigureSlotForm::UpdateCleanupEstimate);
    connect(btnControlPanel, &QPushButton::clicked, this, &TConfigureSlotForm::btnControlPanelClick);
    connect(btnSelectOutputFolder, &QPushButton::clicked, this, &TConfigureSlotForm::btnSelectOutputFolderClick);
    connect(btnOk, &QPushButton::clicked, this, &TConfigureSlotForm::btnOkClick);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TConfigureSlotForm::BuildControls() {
    auto* general = new QGroupBox(tr("General"));
    auto* generalGrid = new QGridLayout(general);
    edName = new QLineEdit;
    generalGrid->addWidget(new QLabel(tr("Name/Description:")), 0, 0);
    generalGrid->addWidget(edName, 0, 1);

    auto* input = new QGroupBox(tr("Input"));
    auto* inputGrid = new QGridLayout(input);
    rbDisabled = new QRadioButton(tr("Disabled"));
    rbSoundcard = new QRadioButton(tr("Sound card:"));
    cbDevice = new QComboBox;
    cbDevice->setEditable(false);
    cbDevice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    btnControlPanel = new QPushButton(tr("Configure..."));
    rbStream = new QRadioButton(tr("Stream URL:"));
    edStreamURL = new QLineEdit;
    auto* sources = new QButtonGroup(this);
    sources->addButton(rbDisabled, static_cast<int>(TSlotSource::None));
    sources->addButton(rbSoundcard, static_cast<int>(TSlotSource::Soundcard));
    sources->addButton(rbStream, static_cast<int>(TSlotSource::Stream));
    udNominalLevel = new TNumberField(TSlotLimits::LevelMin, TSlotLimits::LevelMax, 1);
    udRecordDelay = new TNumberField(TSlotLimits::DelayMin, TSlotLimits::DelayMax, 60);
    inputGrid->addWidget(rbDisabled, 0, 0, 1, 3);
    inputGrid->addWidget(rbSoundcard, 1, 0);
    inputGrid->addWidget(cbDevice, 1, 1);
    inputGrid->addWidget(btnControlPanel, 1, 2);
    inputGrid->addWidget(rbStream, 2, 0);
    inputGrid->addWidget(edStreamURL, 2, 1, 1, 2);
    // Level and delay share a row: the dialog's height is fixed.
    auto* levels = new QHBoxLayout;
    levels->addWidget(new QLabel(tr("Nominal level:")));
    levels->addWidget(WithUnit(udNominalLevel, new QLabel(tr("dBFS"))));
    levels->addStretch();
    levels->addWidget(new QLabel(tr("Record delay:")));
    levels->addWidget(WithUnit(udRecordDelay, new QLabel(tr("seconds"))));
    inputGrid->addLayout(levels, 3, 0, 1, 3);
    inputGrid->setColumnStretch(1, 1);

    auto* output = new QGroupBox(tr("Output"));
    auto* outputGrid = new QGridLayout(output);
    edFolder = new QLineEdit;
    btnSelectOutputFolder = new QPushButton(tr("..."));
    btnSelectOutputFolder->setFixedWidth(30);
    cbFlatFilenames = new QCheckBox(tr("Use flat filenames (no subfolders)"));
    cbNoAutoRotate = new QCheckBox(tr("No auto-rotation at top of the hour"));
    cbFormat = new QComboBox;
    cbFormat->addItems({"MP3", "Ogg Vorbis", "WMA", "WMA Pro"});
    cbBitrate = new QComboBox;
    cbBitrate->setEditable(true);
    cbBitrate->setInsertPolicy(QComboBox::NoInsert);
    cbMode = new QComboBox;
    cbMode->addItems({"mono", "stereo", "joint stereo"});
    cbSamplerate = new QComboBox;
    cbSamplerate->setEditable(true);
    cbSamplerate->setInsertPolicy(QComboBox::NoInsert);
    cbSamplerate->addItems(Texts(TSlotLimits::Samplerates));
    edEncoderOptions = new QLineEdit;
    outputGrid->addWidget(new QLabel(tr("Folder:")), 0, 0);
    outputGrid->addWidget(edFolder, 0, 1, 1, 3);
    outputGrid->addWidget(btnSelectOutputFolder, 0, 4);
    outputGrid->addWidget(cbFlatFilenames, 1, 1, 1, 4);
    outputGrid->addWidget(cbNoAutoRotate, 2, 1, 1, 4);
    outputGrid->addWidget(new QLabel(tr("Audio Format:")), 3, 0);
    outputGrid->addWidget(cbFormat, 3, 1);
    outputGrid->addWidget(new QLabel(tr("Bit rate:")), 3, 2, Qt::AlignRight);
    outputGrid->addWidget(cbBitrate, 3, 3);
    outputGrid->addWidget(new QLabel(tr("Mode:")), 4, 0);
    outputGrid->addWidget(cbMode, 4, 1);
    outputGrid->addWidget(new QLabel(tr("Sample rate:")), 4, 2, Qt::AlignRight);
    outputGrid->addWidget(cbSamplerate, 4, 3);
    outputGrid->addWidget(new QLabel(tr("Encoder options:")), 5, 0);
    outputGrid->addWidget(edEncoderOptions, 5, 1, 1, 4);
    outputGrid->setColumnStretch(1, 1);
    outputGrid->setColumnStretch(3, 1);

    auto* cleanup = new QGroupBox(tr("Cleanup"));
    auto* cleanupGrid = new QGridLayout(cleanup);
    cbCleanupDaysEnabled = new QCheckBox(tr("Delete recordings older than"));
    udCleanupDays = new TNumberField(TSlotLimits::CleanupMin, TSlotLimits::CleanupMax, 1);
    lblCleanupDays = new QLabel(tr("days"));
    cbCleanupSpaceEnabled = new QCheckBox(tr("Delete recordings when disk space is below"));
    udCleanupSpace = new TNumberField(TSlotLimits::CleanupMin, TSlotLimits::CleanupMax, 1);
    cleanupGrid->addWidget(cbCleanupDaysEnabled, 0, 0);
    cleanupGrid->addWidget(WithUnit(udCleanupDays, lblCleanupDays), 0, 1);
    cleanupGrid->addWidget(cbCleanupSpaceEnabled, 1, 0);
    cleanupGrid->addWidget(WithUnit(udCleanupSpace, new QLabel(tr("GB"))), 1, 1);
    cleanupGrid->setColumnStretch(1, 1);

    auto* silence = new QGroupBox(tr("Silence alarm"));
    auto* silenceGrid = new QGridLayout(silence);
    cbSilenceAlarm = new QCheckBox(tr("Alarm when both channels stay below"));
    udSilenceLevel = new TNumberField(TSlotLimits::SilenceLevelMin, TSlotLimits::SilenceLevelMax, 1);
    udSilenceSeconds = new TNumberField(TSlotLimits::SilenceSecondsMin, TSlotLimits::SilenceSecondsMax, 1);
    silenceGrid->addWidget(cbSilenceAlarm, 0, 0);
    silenceGrid->addWidget(WithUnit(udSilenceLevel, new QLabel(tr("dBFS for"))), 0, 1);
    silenceGrid->addWidget(WithUnit(udSilenceSeconds, new QLabel(tr("s"))), 0, 2);
    silenceGrid->setColumnStretch(1, 1);

    btnOk = new QPushButton(tr("OK"));
    btnOk->setDefault(true);
    btnCancel = new QPushButton(tr("Cancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);

    for (QGridLayout* grid : {generalGrid, inputGrid, outputGrid, cleanupGrid, silenceGrid}) {
        grid->setVerticalSpacing(4);
        grid->setContentsMargins(8, 4, 8, 6);
    }
    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(6);
    layout->addWidget(general);
    layout->addWidget(input);
    layout->addWidget(output);
    layout->addWidget(cleanup);
    layout->addWidget(silence);
    layout->addStretch();
    layout->addLayout(buttons);
    setFixedSize(469, 585);
}

void TConfigureSlotForm::FormCreate() {
    for (std::size_t i = 0; i < FDevices.Count(); ++i) {
        cbDevice->addItem(QString::fromStdString(FDevices.Entry(i).Name));
    }
    edName->setText(QString::fromStdString(FSlot.Name));
    edStreamURL->setText(QString::fromStdString(FSlot.StreamURL));
    if (!FSlot.StreamURL.empty()) {
        edStreamURLChange(); // putting a URL into the field counts as typing it
    }
    cbDevice->setCurrentIndex(FDevices.FindDevice(FSlot.Device));
    cbDeviceChange();
    // The stored source wins over what the two rules checked on the way.
    switch (FSlot.Source) {
    case TSlotSource::None:
        rbDisabled->setChecked(true);
        break;
    case TSlotSource::Soundcard:
        rbSoundcard->setChecked(true);
        break;
    case TSlotSource::Stream:
        rbStream->setChecked(true);
        break;
    }
    udNominalLevel->setValue(FSlot.NominalLevel);
    udRecordDelay->setValue(FSlot.RecordDelay);
    cbFormat->setCurrentIndex(static_cast<int>(FSlot.Format));
    cbBitrate->setEditText(QString::number(FSlot.Bitrate));
    cbMode->setCurrentIndex(static_cast<int>(FSlot.Mode));
    cbSamplerate->setEditText(QString::number(FSlot.Samplerate));
    edEncoderOptions->setText(QString::fromStdString(FSlot.EncoderOptions));
    edFolder->setText(QString::fromStdString(FSlot.Folder));
    cbFlatFilenames->setChecked(FSlot.FlatFilenames);
    cbNoAutoRotate->setChecked(FSlot.NoAutoRotate);
    cbCleanupDaysEnabled->setChecked(FSlot.CleanupDaysEnabled);
    udCleanupDays->setValue(FSlot.CleanupDays);
    cbCleanupSpaceEnabled->setChecked(FSlot.CleanupSpaceEnabled);
    udCleanupSpace->setValue(FSlot.CleanupSpace);
    cbSilenceAlarm->setChecked(FSlot.SilenceAlarm);
    udSilenceLevel->setValue(FSlot.SilenceLevel);
    udSilenceSeconds->setValue(FSlot.SilenceSeconds);
    cbFormatChange();
}

void TConfigureSlotForm::cbDeviceChange() {
    rbSoundcard->setChecked(true);
    const int i = cbDevice->currentIndex();
    btnControlPanel->setEnabled(i >= 0 && FDevices.Entry(static_cast<std::size_t>(i)).HasControlPanel());
}

void TConfigureSlotForm::edStreamURLChange() { rbStream->setChecked(true); }

void TConfigureSlotForm::cbFormatChange() {
    const auto format = static_cast<TSlotFormat>(cbFormat->currentIndex());
    // Replacing the list must not touch the typed bit rate.
    const QString typed = cbBitrate->currentText();
    const QSignalBlocker block(cbBitrate);
    if (format != TSlotFormat::mp3 && format != TSlotFormat::ogg && format != TSlotFormat::wma &&
        format != TSlotFormat::wmapro) {
        UpdateCleanupEstimate();
        return;
    }
    // The stored sample rate: a typed one takes effect only at the next start.
    const auto mode = static_cast<TSlotMode>(cbMode->currentIndex());
    const QStringList rates = Texts(OfferedBitrates(format, FSlot.Samplerate, mode, FWmaRates));
    if (rates.isEmpty()) {
        cbBitrate->clear();
        cbBitrate->setEditText(typed);
        QMessageBox::warning(this, windowTitle(), tr(WmaMissingMessage), QMessageBox::Ok);
        return;
    }
    cbBitrate->clear();
    cbBitrate->addItems(rates);
    cbBitrate->setEditText(typed);
    UpdateCleanupEstimate();
}

void TConfigureSlotForm::UpdateCleanupEstimate() {
    lblCleanupDays->setText(CleanupEstimate(cbBitrate->currentText(), static_cast<TSlotFormat>(cbFormat->currentIndex()),
                                            udCleanupDays->text()));
}

void TConfigureSlotForm::btnControlPanelClick() {
    const int i = cbDevice->currentIndex();
    if (i < 0) {
        return;
    }
    try {
        FDevices.Entry(static_cast<std::size_t>(i)).ShowControlPanel();
    } catch (const std::exception& e) {
        QMessageBox::critical(this, windowTitle(), QString::fromStdString(e.what()), QMessageBox::Ok);
    }
}

void TConfigureSlotForm::btnSelectOutputFolderClick() {
    QString folder = edFolder->text();
    if (SelectFolder(this, tr("Select Output Folder"),
                     QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), folder)) {
        edFolder->setText(folder);
    }
}

TSlotSource TConfigureSlotForm::SelectedSource() const {
    if (rbDisabled->isChecked()) {
        return TSlotSource::None;
    }
    return rbSoundcard->isChecked() ? TSlotSource::Soundcard : TSlotSource::Stream;
}

std::string TConfigureSlotForm::SelectedDevice() const {
    const int i = cbDevice->currentIndex();
    return i >= 0 ? FDevices.Id(static_cast<std::size_t>(i)) : std::string();
}

void TConfigureSlotForm::btnOkClick() {
    // Checked before anything is written, so that a refused OK leaves the slot as it was.
    const std::optional<int> bitrate = ParseWholeNumber(cbBitrate->currentText());
    if (!bitrate) {
        QMessageBox::critical(this, windowTitle(),
                              QString("'%1' is not a valid integer value").arg(cbBitrate->currentText()),
                              QMessageBox::Ok);
        return;
    }
    TSlotSettings values = FSlot;
    values.Name = edName->text().toStdString();
    values.Source = SelectedSource();
    values.Device = SelectedDevice();
    values.StreamURL = edStreamURL->text().toStdString();
    values.NominalLevel = static_cast<std::int16_t>(udNominalLevel->value());
    values.RecordDelay = udRecordDelay->value();
    values.Format = static_cast<TSlotFormat>(cbFormat->currentIndex());
    values.Bitrate = *bitrate;
    values.Mode = static_cast<TSlotMode>(cbMode->currentIndex());
    values.Samplerate = ParseWholeNumber(cbSamplerate->currentText()).value_or(FSlot.Samplerate);
    values.EncoderOptions = edEncoderOptions->text().toStdString();
    values.Folder = edFolder->text().toStdString();
    values.FlatFilenames = cbFlatFilenames->isChecked();
    values.NoAutoRotate = cbNoAutoRotate->isChecked();
    values.CleanupDaysEnabled = cbCleanupDaysEnabled->isChecked();
    values.CleanupDays = udCleanupDays->value();
    values.CleanupSpaceEnabled = cbCleanupSpaceEnabled->isChecked();
    values.CleanupSpace = udCleanupSpace->value();
    values.SilenceAlarm = cbSilenceAlarm->isChecked();
    values.SilenceLevel = udSilenceLevel->value();
    values.SilenceSeconds = udSilenceSeconds->value();
    // The same check as at start-up and from the web: a rate or bit rate the encoder does not take.
    if (const std::string refused = FSlot.CheckSettings(values); !refused.empty()) {
        QMessageBox::critical(this, windowTitle(), QString::fromStdString(refused), QMessageBox::Ok);
        return;
    }
    // The slot's own work holds its lock while it waits for a folder that hangs:
    // the window says so rather than freezing with it.
    std::unique_lock busy(FSlot.Lock, std::defer_lock);
    if (!busy.try_lock_for(std::chrono::seconds(1))) {
        QMessageBox::warning(this, windowTitle(),
                             tr("The slot is busy: its folder does not answer. Try again when it does."),
                             QMessageBox::Ok);
        return;
    }
    // A change from the web while the dialog was open is replaced: the later one wins.
    FReplacedOtherChange = FSlot.SettingsRevision != FOpenedRevision;
    const TSettingsChange change = FSlot.TakeSettings(values);
    FInputChanged = change.Input;
    FOutputChanged = change.Output;
    accept();
}
