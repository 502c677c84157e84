#include "ReceiverPage.h"

#include "ConfigFiles.h"
#include "IrCodeFile.h"
#include "PageParts.h"
#include "ReceiverRequests.h"
#include "RecordAccess.h"
#include "SharedDeviceState.h"

#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QFutureWatcher>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <vector>

namespace tavro::control {

namespace {

// How long a learning waits for the remote control's key.
constexpr std::chrono::seconds kLearnTimeout{30};

// Labels of the information items, by kind, as the page shows them.
const char* const kInfoTitles[] = {
    QT_TRANSLATE_NOOP("ReceiverPage", "Handset copyright"),  QT_TRANSLATE_NOOP("ReceiverPage", "Handset version"),
    QT_TRANSLATE_NOOP("ReceiverPage", "Handset date"),       QT_TRANSLATE_NOOP("ReceiverPage", "Receiver copyright"),
    QT_TRANSLATE_NOOP("ReceiverPage", "Receiver version"),   QT_TRANSLATE_NOOP("ReceiverPage", "Receiver date"),
    QT_TRANSLATE_NOOP("ReceiverPage", "Handset assignment"), QT_TRANSLATE_NOOP("ReceiverPage", "Signal strength"),
    QT_TRANSLATE_NOOP("ReceiverPage", "Radio channel"),
};

struct CameraSetting {
    const char* name;  // object name of its spin box
    const char* title;
    int maximum;
    uint8_t SharedDeviceState::*field;  // the value last sent, in the record
};
const CameraSetting kCamera[] = {
    {"threshold", QT_TRANSLATE_NOOP("ReceiverPage", "&Threshold"), 127, &SharedDeviceState::Threshold},
    {"gain", QT_TRANSLATE_NOOP("ReceiverPage", "G&ain"), 63, &SharedDeviceState::Gain},
    {"exposure", QT_TRANSLATE_NOOP("ReceiverPage", "E&xposure"), 255, &SharedDeviceState::Exposure},
};

const int kMotorModes[] = {25, 50, 75, 100};

QString Text(const std::string& text) { return QString::fromStdString(text); }

// A request goes out only to a daemon that runs its receiver; otherwise the
// line naming the cause comes at once, and nothing is left raised.
cli::Outcome DeviceReady() {
    const cli::DaemonView view = cli::ReadDaemonView();
    if (!view.running || !view.receiverConnected) return cli::Outcome{cli::kExitNoAnswer, cli::DeviceProblem(view)};
    return cli::Outcome{};
}

}  // namespace

ReceiverPage::ReceiverPage(RecordReader* reader, QWidget* parent) : QWidget(parent), reader_(reader) {
    pool_.setMaxThreadCount(1);
    auto* content = new QWidget;
    auto* columns = new QHBoxLayout(content);
    auto* left = new QVBoxLayout;
    left->addWidget(makeInfoGroup());
    left->addWidget(makeRadioGroup());
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(makeCameraGroup());
    right->addWidget(makeMotorGroup());
    right->addWidget(makeInfraredGroup(), 1);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    daemonLine_ = new QLabel(this);
    daemonLine_->setWordWrap(true);
    daemonLine_->setAccessibleName(tr("Daemon state for the receiver"));
    daemonLine_->hide();
    message_ = OutcomeLine(tr("Outcome of the last request"), this);
    StackPage(this, content, daemonLine_, message_);
    connect(reader_, &RecordReader::updated, this, &ReceiverPage::refresh);
    listCodes();
}

ReceiverPage::~ReceiverPage() {
    // A learning in progress gives up at its next tick; queued requests are
    // dropped, the running one is waited for (a few seconds at most).
    closing_ = true;
    stopLearning_ = true;
    pool_.clear();
    pool_.waitForDone();
}

QString ReceiverPage::message() const { return message_->text(); }
QString ReceiverPage::daemonLine() const { return daemonLine_->isHidden() ? QString() : daemonLine_->text(); }
QString ReceiverPage::infoValue(int kind) const {
    auto it = info_.find(kind);
    return it == info_.end() ? QString() : it->second->text();
}

QWidget* ReceiverPage::makeInfoGroup() {
    auto* group = new QGroupBox(tr("Information"), this);
    auto* form = new QFormLayout(group);
    form->addRow(Description(tr("What the receiver reports, when asked, about its own firmware and the handsets'."), group));
    for (const cli::InfoItem& item : cli::InfoItems()) {
        auto* value = new QLabel(QStringLiteral("—"), group);
        value->setObjectName(QStringLiteral("info-%1").arg(item.kind));
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        value->setAccessibleName(tr(kInfoTitles[item.kind]));
        info_[item.kind] = value;
        form->addRow(tr(kInfoTitles[item.kind]) + QLatin1Char(':'), value);
    }
    readInfo_ = new QPushButton(tr("&Read from the receiver"), group);
    readInfo_->setObjectName(QStringLiteral("read-info"));
    readInfo_->setAccessibleName(tr("Read the information from the receiver"));
    form->addRow(readInfo_);
    connect(readInfo_, &QPushButton::clicked, this, &ReceiverPage::readInfo);
    return group;
}

QWidget* ReceiverPage::makeRadioGroup() {
    auto* group = new QGroupBox(tr("Radio"), this);
    auto* grid = new QGridLayout(group);
    auto* label = new QLabel(tr("&Channel:"), group);
    channel_ = new QSpinBox(group);
    channel_->setObjectName(QStringLiteral("channel"));
    // -1: not known until read (the record keeps only a channel once set).
    channel_->setRange(-1, 255);
    channel_->setSpecialValueText(tr("unknown"));
    channel_->setAccessibleName(tr("Radio channel"));
    label->setBuddy(channel_);
    auto* change = new QPushButton(tr("S&witch channel"), group);
    change->setObjectName(QStringLiteral("set-channel"));
    change->setAccessibleName(tr("Switch the receiver to the channel"));
    grid->addWidget(label, 0, 0);
    grid->addWidget(channel_, 0, 1);
    grid->addWidget(change, 0, 2);
    grid->addWidget(Description(tr("The receiver and its handsets talk on this channel (0-255); pick another "
                                   "when a nearby radio disturbs them. The handsets must follow."),
                                group),
                    1, 0, 1, 4);
    grid->setColumnStretch(3, 1);
    connect(change, &QPushButton::clicked, this, &ReceiverPage::switchChannel);
    return group;
}

QWidget* ReceiverPage::makeCameraGroup() {
    auto* group = new QGroupBox(tr("Camera"), this);
    auto* grid = new QGridLayout(group);
    grid->addWidget(Description(tr("How the handsets' camera sees the two light spots: the brightness below "
                                   "which it ignores light, its gain and its exposure. The receiver does "
                                   "not report them: shown are the values last sent through the kit. Each is "
                                   "sent when you change it."),
                                group),
                    0, 0, 1, 3);
    for (int i = 0; i < 3; ++i) {
        auto* label = new QLabel(tr(kCamera[i].title), group);
        auto* spin = new QSpinBox(group);
        spin->setObjectName(QString::fromLatin1(kCamera[i].name));
        // -1: none sent yet, as far as the record tells.
        spin->setRange(-1, kCamera[i].maximum);
        spin->setSpecialValueText(tr("unknown"));
        // One request per finished value, not one per digit typed.
        spin->setKeyboardTracking(false);
        spin->setAccessibleName(tr("Camera %1").arg(QString::fromLatin1(kCamera[i].name)));
        label->setBuddy(spin);
        camera_[i] = spin;
        cameraKnown_[i] = -1;
        grid->addWidget(label, 1 + i, 0);
        grid->addWidget(spin, 1 + i, 1);
        grid->addWidget(Description(tr("0-%1").arg(kCamera[i].maximum), group), 1 + i, 2);
        connect(spin, qOverload<int>(&QSpinBox::valueChanged), this, [this, i](int value) { changeCamera(i, value); });
    }
    grid->setColumnStretch(2, 1);
    return group;
}

QWidget* ReceiverPage::makeMotorGroup() {
    auto* group = new QGroupBox(tr("Motor"), this);
    auto* grid = new QGridLayout(group);
    auto* modeLabel = new QLabel(tr("&Mode:"), group);
    motorMode_ = new QComboBox(group);
    motorMode_->setObjectName(QStringLiteral("motor-mode"));
    motorMode_->setAccessibleName(tr("Motor mode"));
    for (int mode : kMotorModes) motorMode_->addItem(tr("%1 %").arg(mode), mode);
    modeLabel->setBuddy(motorMode_);
    auto* levelLabel = new QLabel(tr("&Level:"), group);
    motorLevel_ = new QSpinBox(group);
    motorLevel_->setObjectName(QStringLiteral("motor-level"));
    motorLevel_->setRange(0, 2268);
    motorLevel_->setSingleStep(36);
    motorLevel_->setValue(1080);
    motorLevel_->setAccessibleName(tr("Motor strength level"));
    levelLabel->setBuddy(motorLevel_);
    auto* valueLabel = new QLabel(tr("&Value:"), group);
    motorValue_ = new QSpinBox(group);
    motorValue_->setObjectName(QStringLiteral("motor-value"));
    motorValue_->setRange(0, 255);
    motorValue_->setAccessibleName(tr("Motor value"));
    valueLabel->setBuddy(motorValue_);
    auto* start = new QPushButton(tr("&Start motor"), group);
    start->setObjectName(QStringLiteral("motor-start"));
    start->setAccessibleName(tr("Start the handset's motor"));
    auto* stop = new QPushButton(tr("St&op motor"), group);
    stop->setObjectName(QStringLiteral("motor-stop"));
    stop->setAccessibleName(tr("Stop the handset's motor"));
    grid->addWidget(Description(tr("The handset's vibration: a mode, a strength (0-2268, in steps of 36) and a "
                                   "value (0-255). Nothing moves until you start it."),
                                group),
                    0, 0, 1, 4);
    grid->addWidget(modeLabel, 1, 0);
    grid->addWidget(motorMode_, 1, 1);
    grid->addWidget(levelLabel, 1, 2);
    grid->addWidget(motorLevel_, 1, 3);
    grid->addWidget(valueLabel, 2, 0);
    grid->addWidget(motorValue_, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start);
    buttons->addWidget(stop);
    buttons->addStretch();
    grid->addLayout(buttons, 3, 0, 1, 4);
    connect(start, &QPushButton::clicked, this, [this] {
        const int mode = motorMode_->currentData().toInt(), level = motorLevel_->value(), value = motorValue_->value();
        request(tr("Motor start"),
                [mode, level, value](SharedDeviceState* r) { return cli::StartMotor(r, mode, level, value); },
                [this, mode, level](const cli::Outcome& outcome) {
                    if (outcome.ok()) say(tr("The motor runs (mode %1 %, level %2).").arg(mode).arg(level), false);
                });
    });
    connect(stop, &QPushButton::clicked, this, [this] {
        request(tr("Motor stop"), [](SharedDeviceState* r) { return cli::StopMotor(r); },
                [this](const cli::Outcome& outcome) {
                    if (outcome.ok()) say(tr("The motor is stopped."), false);
                });
    });
    return group;
}

QWidget* ReceiverPage::makeInfraredGroup() {
    auto* group = new QGroupBox(tr("Infrared"), this);
    auto* grid = new QGridLayout(group);
    grid->addWidget(Description(tr("The receiver learns the code of a remote control's key and sends it again; "
                                   "saved codes are what key bindings send (\"ir NAME\")."),
                                group),
                    0, 0, 1, 3);
    auto* nameLabel = new QLabel(tr("&Name:"), group);
    codeName_ = new QLineEdit(group);
    codeName_->setObjectName(QStringLiteral("ir-name"));
    codeName_->setAccessibleName(tr("Name of the code to learn"));
    codeName_->setPlaceholderText(tr("for example tv-power"));
    nameLabel->setBuddy(codeName_);
    auto* learn = learn_ = new QPushButton(tr("&Learn code"), group);
    learn->setObjectName(QStringLiteral("ir-learn"));
    learn->setAccessibleName(tr("Learn an infrared code under the name"));
    grid->addWidget(nameLabel, 1, 0);
    grid->addWidget(codeName_, 1, 1);
    grid->addWidget(learn, 1, 2);
    connect(learn, &QPushButton::clicked, this, &ReceiverPage::learnCode);
    connect(codeName_, &QLineEdit::returnPressed, this, &ReceiverPage::learnCode);

    auto* listLabel = new QLabel(tr("Sa&ved codes:"), group);
    codes_ = new QListWidget(group);
    codes_->setObjectName(QStringLiteral("ir-codes"));
    codes_->setAccessibleName(tr("Saved infrared codes"));
    codes_->setMinimumHeight(80);
    listLabel->setBuddy(codes_);
    sendCode_ = new QPushButton(tr("Sen&d"), group);
    sendCode_->setObjectName(QStringLiteral("ir-send"));
    sendCode_->setAccessibleName(tr("Send the selected code"));
    deleteCode_ = new QPushButton(tr("D&elete"), group);
    deleteCode_->setObjectName(QStringLiteral("ir-delete"));
    deleteCode_->setAccessibleName(tr("Delete the selected code"));
    auto* blast = new QPushButton(tr("Send &blast"), group);
    blast->setObjectName(QStringLiteral("ir-blast"));
    blast->setAccessibleName(tr("Send the receiver's infrared blast"));
    auto* actions = new QVBoxLayout;
    actions->addWidget(sendCode_);
    actions->addWidget(deleteCode_);
    actions->addWidget(blast);
    actions->addStretch();
    grid->addWidget(listLabel, 2, 0, 1, 3);
    grid->addWidget(codes_, 3, 0, 1, 2);
    grid->addLayout(actions, 3, 2);
    grid->setRowStretch(3, 1);
    connect(sendCode_, &QPushButton::clicked, this, &ReceiverPage::sendCode);
    connect(deleteCode_, &QPushButton::clicked, this, &ReceiverPage::deleteCode);
    connect(codes_, &QListWidget::itemActivated, this, &ReceiverPage::sendCode);
    connect(codes_, &QListWidget::currentRowChanged, this, [this](int row) {
        sendCode_->setEnabled(row >= 0);
        deleteCode_->setEnabled(row >= 0);
    });
    connect(blast, &QPushButton::clicked, this, [this] {
        request(tr("Blast"), [](SharedDeviceState* r) { return cli::SendIrBlast(r); },
                [this](const cli::Outcome& outcome) {
                    if (outcome.ok()) say(tr("The infrared blast was sent."), false);
                });
    });
    return group;
}

void ReceiverPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Codes saved meanwhile by "tavro ir learn --name".
    listCodes(codes_->currentItem() != nullptr ? codes_->currentItem()->text() : QString());
}

void ReceiverPage::refresh() {
    const KitState& state = reader_->state();
    const bool unserved = state.problem == KitState::Problem::NoRecord || state.problem == KitState::Problem::NoDaemon ||
                          state.problem == KitState::Problem::NoReceiver;
    const QString line = unserved ? tr("The receiver cannot be asked now: %1").arg(state.problemText) : QString();
    if (daemonLine_->text() != line) daemonLine_->setText(line);
    daemonLine_->setVisible(!line.isEmpty());
    // The camera values and the channel last sent, once the record is
    // there: shown, not sent.
    SharedDeviceState* r = reader_->record();
    if (r == nullptr) return;
    if (recordShown_) return;
    recordShown_ = true;
    for (int i = 0; i < 3; ++i) {
        // The record holds 0 until a value is sent.
        const int sent = tavro::LoadField(r->*kCamera[i].field);
        cameraKnown_[i] = sent > 0 ? sent : -1;
        QSignalBlocker block(camera_[i]);
        camera_[i]->setValue(cameraKnown_[i]);
    }
    const int channel = tavro::LoadField(r->PODChannel);
    channelKnown_ = channel > 0 && channel <= 255 ? channel : -1;
    QSignalBlocker block(channel_);
    channel_->setValue(channelKnown_);
}

void ReceiverPage::request(const QString& what, Job job, Done done) {
    SharedDeviceState* record = reader_->record();
    if (record == nullptr) {
        const QString why = reader_->state().problemText;
        say(tr("%1: not sent: %2").arg(what, why.isEmpty() ? tr("the kit's shared record cannot be attached") : why),
            true);
        done(cli::Outcome{cli::kExitFailure, "no record"});
        return;
    }
    ++pending_;
    say(tr("%1: waiting…").arg(what), false);
    auto* watcher = new QFutureWatcher<cli::Outcome>(this);
    connect(watcher, &QFutureWatcher<cli::Outcome>::finished, this, [this, watcher, what, done] {
        --pending_;
        const cli::Outcome outcome = watcher->result();
        watcher->deleteLater();
        if (!outcome.ok()) say(tr("%1 failed: %2").arg(what, Text(outcome.message)), true);
        done(outcome);
    });
    watcher->setFuture(QtConcurrent::run(&pool_, [record, job] {
        cli::Outcome ready = DeviceReady();
        return ready.ok() ? job(record) : ready;
    }));
}

void ReceiverPage::readInfo() {
    // The replies by kind, filled on the worker thread, shown when done.
    auto replies = std::make_shared<std::map<int, std::string>>();
    std::atomic<bool>* closing = &closing_;
    request(
        tr("Information"),
        [replies, closing](SharedDeviceState* r) {
            for (const cli::InfoItem& item : cli::InfoItems()) {
                // A closing window does not wait for the remaining items.
                if (closing->load()) return cli::Outcome{cli::kExitFailure, "the window was closed"};
                std::string reply;
                cli::Outcome outcome = cli::FetchInfo(r, item, &reply);
                if (!outcome.ok()) return outcome;
                (*replies)[item.kind] = reply;
            }
            return cli::Outcome{};
        },
        [this, replies](const cli::Outcome& outcome) {
            for (const auto& [kind, reply] : *replies) {
                info_[kind]->setText(Text(cli::DescribeInfo(reply)));
                if (kind == cli::kChannelInfo.kind && !reply.empty()) {
                    channelKnown_ = static_cast<unsigned char>(reply[0]);
                    QSignalBlocker block(channel_);
                    channel_->setValue(channelKnown_);
                }
            }
            if (outcome.ok()) say(tr("The receiver's information was read."), false);
        });
}

void ReceiverPage::switchChannel() {
    const int channel = channel_->value();
    if (channel < 0) return say(tr("Pick a channel from 0 to 255 to switch to."), true);
    request(tr("Channel"), [channel](SharedDeviceState* r) { return cli::SetChannel(r, channel); },
            [this, channel](const cli::Outcome& outcome) {
                if (outcome.ok()) {
                    channelKnown_ = channel;
                    info_[cli::kChannelInfo.kind]->setText(QString::number(channel));
                    return say(tr("The receiver was switched to channel %1.").arg(channel), false);
                }
                // The receiver is where it was: show that channel again.
                QSignalBlocker block(channel_);
                channel_->setValue(channelKnown_);
            });
}

void ReceiverPage::changeCamera(int which, int value) {
    if (value < 0) return say(tr("Pick a value from 0 to %1 to send it.").arg(kCamera[which].maximum), false);
    const int values[3] = {which == 0 ? value : -1, which == 1 ? value : -1, which == 2 ? value : -1};
    const QString name = QString::fromLatin1(kCamera[which].name);
    request(tr("Camera %1").arg(name),
            [values](SharedDeviceState* r) { return cli::SetCamera(r, values[0], values[1], values[2]); },
            [this, which, value, name](const cli::Outcome& outcome) {
                if (outcome.ok()) {
                    cameraKnown_[which] = value;
                    return say(tr("Camera %1 set to %2.").arg(name).arg(value), false);
                }
                // The camera keeps the value it had: show it again.
                QSignalBlocker block(camera_[which]);
                camera_[which]->setValue(cameraKnown_[which]);
            });
}

void ReceiverPage::learnCode() {
    // While learning, the same button cancels.
    if (learning_) {
        stopLearning_ = true;
        return say(tr("Cancelling the learning…"), false);
    }
    const QString name = codeName_->text().trimmed();
    const cli::Outcome valid = cli::CheckIrCodeName(name.toStdString());
    if (!valid.ok()) return say(tr("No code learned: %1.").arg(Text(valid.message)), true);
    const std::string path = SavedIrCodePath(name.toStdString());
    if (QFileInfo::exists(Text(path)) &&
        QMessageBox::question(this, tr("Replace the code?"),
                              tr("A code is saved as \"%1\" already. Replace it with the one learned?").arg(name)) !=
            QMessageBox::Yes)
        return say(tr("No code learned: \"%1\" is kept as it was.").arg(name), false);
    // The countdown comes from the worker thread as queued calls, which Qt
    // drops once the page is gone.
    QPointer<ReceiverPage> self(this);
    std::atomic<bool>* stop = &stopLearning_;
    stopLearning_ = false;
    learning_ = true;
    learn_->setText(tr("&Cancel learning"));
    learn_->setAccessibleName(tr("Cancel the learning"));
    request(
        tr("Learning \"%1\"").arg(name),
        [self, stop, path, name](SharedDeviceState* r) {
            std::string error;
            if (!MakeDirectoryFor(path, &error)) return cli::Outcome{cli::kExitFailure, error};
            cli::IrCodeFileWriter writer;
            cli::Outcome outcome = writer.Open(path);
            if (!outcome.ok()) return outcome;
            std::vector<uint8_t> code;
            outcome = cli::LearnIrCode(r, kLearnTimeout, [&](long secondsLeft) {
                QMetaObject::invokeMethod(self, [self, name, secondsLeft] {
                    if (self)
                        self->say(tr("Learning \"%1\": point the remote control at the receiver and press its key "
                                     "(%2 s left)…")
                                      .arg(name)
                                      .arg(secondsLeft),
                                  false);
                }, Qt::QueuedConnection);
                return !stop->load();
            }, &code);
            return outcome.ok() ? writer.Commit(code) : outcome;
        },
        [this, name](const cli::Outcome& outcome) {
            learning_ = false;
            learn_->setText(tr("&Learn code"));
            learn_->setAccessibleName(tr("Learn an infrared code under the name"));
            listCodes(name);
            if (outcome.ok()) say(tr("Learned the code \"%1\"; it is saved and listed.").arg(name), false);
            else if (stopLearning_) say(tr("Learning cancelled; nothing was saved."), false);
        });
}

void ReceiverPage::sendCode() {
    QListWidgetItem* item = codes_->currentItem();
    if (item == nullptr) return say(tr("Pick a saved code to send."), true);
    const QString name = item->text();
    std::vector<uint8_t> code;
    const cli::Outcome read = cli::ReadIrCodeFile(SavedIrCodePath(name.toStdString()), &code);
    if (!read.ok()) return say(tr("\"%1\" not sent: %2").arg(name, Text(read.message)), true);
    request(tr("Sending \"%1\"").arg(name), [code](SharedDeviceState* r) { return cli::SendIrCode(r, code); },
            [this, name, bytes = code.size()](const cli::Outcome& outcome) {
                if (outcome.ok()) say(tr("Sent the code \"%1\" (%2 bytes).").arg(name).arg(bytes), false);
            });
}

void ReceiverPage::deleteCode() {
    QListWidgetItem* item = codes_->currentItem();
    if (item == nullptr) return say(tr("Pick a saved code to delete."), true);
    const QString name = item->text();
    const cli::Outcome removed = cli::RemoveSavedIrCode(name.toStdString());
    listCodes();
    if (!removed.ok()) return say(tr("\"%1\" not deleted: %2").arg(name, Text(removed.message)), true);
    say(tr("Deleted the code \"%1\".").arg(name), false);
}

void ReceiverPage::listCodes(const QString& select) {
    QSignalBlocker block(codes_);
    codes_->clear();
    for (const std::string& name : cli::SavedIrCodeNames()) codes_->addItem(Text(name));
    const QList<QListWidgetItem*> found = select.isEmpty() ? QList<QListWidgetItem*>()
                                                           : codes_->findItems(select, Qt::MatchExactly);
    codes_->setCurrentItem(found.isEmpty() ? nullptr : found.first());
    sendCode_->setEnabled(codes_->currentItem() != nullptr);
    deleteCode_->setEnabled(codes_->currentItem() != nullptr);
}

void ReceiverPage::say(const QString& text, bool failure) {
    message_->setText(text);
    message_->setStyleSheet(failure ? QStringLiteral("QLabel { color: #a3261a; font-weight: bold; }") : QString());
}

}  // namespace tavro::control
