#include "dialogs/ChannelConfigDialog.h"

#include "link/HidBridge.h"
#include "link/hid/HidDevice.h"
#include "link/hid/HidDeviceController.h"
#include "link/hid/VirtualHidBus.h"
#include "model/Meter.h"
#include "sim/VirtualMeter.h"
#include "tests/support/RecordingBridge.h"
#include "tests/support/ScriptedPrompts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(CapacitanceText, ThreeDecimalsInTheLocaleWithTheUnit) {
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    struct Case {
        double value;
        const QLocale& locale;
        const char* text;
    };
    const Case cases[] = {
        {1.945, c, "1.945 pF"},        {0.41249, c, "0.412 pF"},   {-0.8, c, "-0.800 pF"},
        {-0.0002, c, "0.000 pF"},      {1234.5, c, "1234.500 pF"}, {1.945, german, "1,945 pF"},
        {-4.096, german, "-4,096 pF"},
    };
    for (const Case& k : cases)
        EXPECT_EQ(CapacitanceText(k.value, k.locale).toStdString(), k.text) << k.value;
}

// A model on a bridge that records everything; the image needs a model with its worker.
struct TModel {
    TMeter Model;
    explicit TModel(const QString& serial = QStringLiteral("CH42")) {
        Model.SetUpBridge(std::make_unique<TRecordingBridge>(serial));
    }
};

class ChannelConfigFormTest : public testing::Test {
protected:
    TModel M;
    TMeter& Model = M.Model;
    TChannelConfigDialog Form;
    TScriptedPrompts Prompts;
};

TEST_F(ChannelConfigFormTest, LoadsEveryPropertyAndWritesEachBackToItsOwn) {
    Model.SetCAP1Mode(2);
    Model.SetCAPDAC1Mode(1);
    Model.SetCAPDAC1A(17);
    Model.SetCAPDAC1B(33);
    Model.SetCAP2Mode(1);
    Model.SetCAPDAC2Mode(0);
    Model.SetCAPDAC2A(44);
    Model.SetCAPDAC2B(55);
    Model.SetExcitationVoltage(2);
    Model.SetInternalTempEnabled(true);
    Model.SetExternalResistorEnabled(false);
    Model.SetCAP1Target(-2);
    Model.SetCAP2Target(1);
    Model.SetReferenceResistor(12345);
    Form.Load(&Model);

    EXPECT_EQ(Form.windowTitle().toStdString(), "Channel Configuration: CH42");
    EXPECT_EQ(Form.CAP1ModeCB->currentIndex(), 2);
    EXPECT_TRUE(Form.CAPDAC1_CB->isChecked());
    EXPECT_EQ(Form.DAC1A_SE->value(), 17);
    EXPECT_EQ(Form.DAC1B_SE->value(), 33);
    EXPECT_EQ(Form.CAP2ModeCB->currentIndex(), 1);
    EXPECT_FALSE(Form.CAPDAC2_CB->isChecked());
    EXPECT_EQ(Form.DAC2A_SE->value(), 44);
    EXPECT_EQ(Form.DAC2B_SE->value(), 55);
    EXPECT_EQ(Form.ExcitationVoltageCB->currentIndex(), 2);
    EXPECT_TRUE(Form.InternalTempEnabledCB->isChecked());
    EXPECT_FALSE(Form.ExternalResistorEnabledCB->isChecked());
    EXPECT_EQ(Form.Target1SE->value(), -2);
    EXPECT_EQ(Form.Target2SE->value(), 1);
    EXPECT_EQ(Form.RefRes_SE->value(), 12345);

    Form.CAP1ModeCB->setCurrentIndex(1);
    Form.CAPDAC1_CB->setChecked(false);
    Form.DAC1A_SE->setValue(1);
    Form.DAC1B_SE->setValue(2);
    Form.CAP2ModeCB->setCurrentIndex(2);
    Form.CAPDAC2_CB->setChecked(true);
    Form.DAC2A_SE->setValue(3);
    Form.DAC2B_SE->setValue(4);
    Form.ExcitationVoltageCB->setCurrentIndex(3);
    Form.InternalTempEnabledCB->setChecked(false);
    Form.ExternalResistorEnabledCB->setChecked(true);
    Form.Target1SE->setValue(3);
    Form.Target2SE->setValue(-3);
    Form.RefRes_SE->setValue(99999999);
    Form.WriteBack();

    EXPECT_EQ(Model.CAP1Mode(), 1);
    EXPECT_EQ(Model.CAPDAC1Mode(), 0);
    EXPECT_EQ(Model.CAPDAC1A(), 1);
    EXPECT_EQ(Model.CAPDAC1B(), 2);
    EXPECT_EQ(Model.CAP2Mode(), 2);
    EXPECT_EQ(Model.CAPDAC2Mode(), 1);
    EXPECT_EQ(Model.CAPDAC2A(), 3);
    EXPECT_EQ(Model.CAPDAC2B(), 4);
    EXPECT_EQ(Model.ExcitationVoltage(), 3);
    EXPECT_FALSE(Model.InternalTempEnabled());
    EXPECT_TRUE(Model.ExternalResistorEnabled());
    EXPECT_EQ(Model.CAP1Target(), 3);
    EXPECT_EQ(Model.CAP2Target(), -3);
    EXPECT_EQ(Model.ReferenceResistor(), 99999999);
    // The image follows the written configuration.
    EXPECT_EQ(Model.RegData()[19], 0xA0);
    EXPECT_EQ(Model.RegData()[21], 0x83);
    EXPECT_EQ(Model.RegData()[22], 0x84);
}

TEST_F(ChannelConfigFormTest, StoredValuesOutsideTheControlsRangesComeBackInside) {
    Model.SetCAP1Target(5);
    Model.SetCAP2Target(-9);
    Model.SetCAPDAC1A(300);
    Model.SetCAPDAC2B(-4);
    Model.SetCAP1Mode(7);
    Model.SetCAP2Mode(-1);
    Model.SetExcitationVoltage(9);
    Form.Load(&Model);
    EXPECT_EQ(Form.Target1SE->value(), 3);
    EXPECT_EQ(Form.Target2SE->value(), -3);
    // A mode the image cannot hold shows as off; an excitation as the nearer end of the list.
    EXPECT_EQ(Form.CAP1ModeCB->currentText().toStdString(), "Off");
    EXPECT_EQ(Form.CAP2ModeCB->currentText().toStdString(), "Off");
    EXPECT_EQ(Form.ExcitationVoltageCB->currentText().toStdString(), "VDD/2");

    Form.RefRes_SE->setValue(0); // the model keeps at least 1 Ohm
    Form.WriteBack();
    EXPECT_EQ(Model.CAP1Target(), 3);
    EXPECT_EQ(Model.CAP2Target(), -3);
    EXPECT_EQ(Model.CAPDAC1A(), 127);
    EXPECT_EQ(Model.CAPDAC2B(), 0);
    EXPECT_EQ(Model.CAP1Mode(), 0);
    EXPECT_EQ(Model.CAP2Mode(), 0);
    EXPECT_EQ(Model.ExcitationVoltage(), 3);
    EXPECT_EQ(Model.ReferenceResistor(), 1);
}

TEST_F(ChannelConfigFormTest, ModeAndCapdacCheckBoxEnableTheChannelsControls) {
    Form.Load(&Model);
    struct Case {
        int mode;
        bool dacs;
        bool checkBox, dacA, dacB, adjust;
    };
    const Case cases[] = {
        {0, false, false, false, false, false}, {0, true, false, false, false, false},
        {1, false, true, false, false, false},  {1, true, true, true, false, true},
        {2, false, true, false, false, false},  {2, true, true, true, true, true},
    };
    struct Channel {
        QComboBox* mode;
        QCheckBox* dacs;
        QSpinBox* a;
        QSpinBox* b;
        QPushButton* adjust;
    };
    const Channel channels[] = {
        {Form.CAP1ModeCB, Form.CAPDAC1_CB, Form.DAC1A_SE, Form.DAC1B_SE, Form.AdjustCAPDAC1Btn},
        {Form.CAP2ModeCB, Form.CAPDAC2_CB, Form.DAC2A_SE, Form.DAC2B_SE, Form.AdjustCAPDAC2Btn},
    };
    for (const Channel& ch : channels) {
        for (const Case& k : cases) {
            SCOPED_TRACE(testing::Message() << ch.mode->objectName().toStdString() << " mode "
                                            << k.mode << " dacs " << k.dacs);
            // Through the controls, as the user changes them.
            ch.mode->setCurrentIndex(k.mode);
            ch.dacs->setChecked(k.dacs);
            EXPECT_EQ(ch.dacs->isEnabled(), k.checkBox);
            EXPECT_EQ(ch.dacs->isChecked(), k.dacs);
            EXPECT_EQ(ch.a->isEnabled(), k.dacA);
            EXPECT_EQ(ch.b->isEnabled(), k.dacB);
            EXPECT_EQ(ch.adjust->isEnabled(), k.adjust);
        }
    }
}

TEST_F(ChannelConfigFormTest, OffKeepsTheCheckMarkAndDisabledCodesAreStillWritten) {
    Model.SetCAP1Mode(1);
    Model.SetCAPDAC1Mode(1);
    Model.SetCAPDAC1B(9);
    Form.Load(&Model);
    EXPECT_FALSE(Form.DAC1B_SE->isEnabled());
    Form.CAP1ModeCB->setCurrentIndex(0);
    EXPECT_FALSE(Form.CAPDAC1_CB->isEnabled());
    EXPECT_TRUE(Form.CAPDAC1_CB->isChecked());
    Form.WriteBack();
    EXPECT_EQ(Model.CAP1Mode(), 0);
    EXPECT_EQ(Model.CAPDAC1Mode(), 1);
    EXPECT_EQ(Model.CAPDAC1B(), 9);
}

TEST_F(ChannelConfigFormTest, EditClosedWithoutChangesStillRebuildsTheImage) {
    Model.SetCAP1Mode(1);
    Model.SetCAPDAC1Mode(1);
    Model.SetCAPDAC1A(5);
    TRegData handSet;
    handSet.fill(0x55);
    Model.SetRegData(handSet);

    bool shown = false;
    QTimer::singleShot(0, &Form, [&] {
        shown = Form.isVisible() && Form.isModal();
        EXPECT_EQ(Form.windowTitle().toStdString(), "Channel Configuration: CH42");
        EXPECT_TRUE(Form.AdjustCAPDAC1Btn->isEnabled());
        EXPECT_FALSE(Form.AdjustCAPDAC2Btn->isEnabled());
        Form.close();
    });
    Form.Edit(&Model);

    EXPECT_TRUE(shown);
    const TRegData image = Model.RegData();
    EXPECT_EQ(image[0], 0x00);
    EXPECT_EQ(image[7], 0x80);
    EXPECT_EQ(image[9], 0x28);
    EXPECT_EQ(image[10], 0xA0);
    EXPECT_EQ(image[11], 0x85);
    EXPECT_EQ(image[12], 0x00);
    EXPECT_EQ(Model.ValueCount(), 1);
}

// --- the adjustment against scripted readings ---------------------------------------------

struct TCall {
    int channel, mode, a, b, exc;
    bool operator==(const TCall&) const = default;
};

// Readings that fall with DAC A and rise with DAC B, in exact binary fractions where a case
// compares them with the target.
using TReading = std::function<double(int a, int b)>;

struct TAdjustCase {
    const char* what;
    int channel;
    int mode;
    int target;
    TReading reading;
    int endA, endB;
    std::vector<int> steppedCodes; // of the stepped DAC, one per measurement
};

class ChannelAdjustTest : public ChannelConfigFormTest {
protected:
    std::vector<TCall> Calls;

    void Script(const TReading& reading) {
        Calls.clear();
        Form.SetMeasureFunction([this, reading](int channel, int mode, int a, int b, int exc) {
            Calls.push_back({channel, mode, a, b, exc});
            return reading(a, b);
        });
    }
};

std::vector<int> Range(int from, int to) {
    std::vector<int> codes;
    for (int x = from; from <= to ? x <= to : x >= to; x += from <= to ? 1 : -1)
        codes.push_back(x);
    return codes;
}

std::vector<int> Join(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<int> AllCoarse = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 127};

TEST_F(ChannelAdjustTest, EndsJustAboveTheTarget) {
    // 2.5, 1.4, 0.3 and -0.8 pF at A = 0, 10, 20, 30; above 0 up to A = 22.
    const TReading falling = [](int a, int) { return 2.5 - 0.11 * a; };
    const TAdjustCase cases[] = {
        {"single, first reading at the target", 1, 1, 0, [](int, int) { return 0.0; }, 0, 0, {0}},
        {"single, still above at 127", 1, 1, -3, [](int a, int) { return 40.0 - a / 8.0; }, 127, 0,
         AllCoarse},
        {"single, coarse past the target and back", 1, 1, 0, falling, 22, 0,
         Join({0, 10, 20, 30}, Range(29, 22))},
        {"single on channel 2", 2, 1, 0, falling, 22, 0, Join({0, 10, 20, 30}, Range(29, 22))},
        {"differential above the target steps A",
         1,
         2,
         1,
         [](int a, int b) { return 3.0 - a / 8.0 + b / 8.0; },
         15,
         0,
         {0, 10, 20, 19, 18, 17, 16, 15}},
        {"differential at the target ends at once",
         1,
         2,
         0,
         [](int a, int b) { return (b - a) / 8.0; },
         0,
         0,
         {0}},
        // -3 + B/8 reaches 2 at B = 40: past it, one down, and back up to it.
        {"differential below the target steps B",
         2,
         2,
         2,
         [](int a, int b) { return -3.0 - a / 8.0 + b / 8.0; },
         0,
         40,
         {0, 10, 20, 30, 40, 39, 40}},
        {"differential, B passes the target between coarse codes", 1, 2, 1,
         [](int, int b) { return -2.0 + b / 8.0; }, 0, 24,
         Join(Join({0, 10, 20, 30}, Range(29, 23)), {24})},
        {"differential still below at B = 127", 1, 2, 3, [](int, int b) { return -20.0 + b / 8.0; },
         0, 127, AllCoarse},
    };
    for (const TAdjustCase& k : cases) {
        SCOPED_TRACE(k.what);
        Model.SetExcitationVoltage(0);
        Form.Load(&Model);
        // The dialog's excitation counts, not the model's; earlier codes do not.
        Form.ExcitationVoltageCB->setCurrentIndex(2);
        const bool one = k.channel == 1;
        QComboBox* mode = one ? Form.CAP1ModeCB : Form.CAP2ModeCB;
        QSpinBox* a = one ? Form.DAC1A_SE : Form.DAC2A_SE;
        QSpinBox* b = one ? Form.DAC1B_SE : Form.DAC2B_SE;
        QSpinBox* target = one ? Form.Target1SE : Form.Target2SE;
        QLabel* actual = one ? Form.ActCAP1L : Form.ActCAP2L;
        QSpinBox* otherA = one ? Form.DAC2A_SE : Form.DAC1A_SE;
        mode->setCurrentIndex(k.mode);
        target->setValue(k.target);
        a->setValue(55);
        b->setValue(66);
        otherA->setValue(77);
        Script(k.reading);

        if (one)
            Form.AdjustCAPDAC1BtnClick();
        else
            Form.AdjustCAPDAC2BtnClick();

        EXPECT_EQ(a->value(), k.endA);
        EXPECT_EQ(b->value(), k.endB);
        EXPECT_EQ(otherA->value(), 77);
        const bool steppedB = k.mode == 2 && k.endB > 0;
        std::vector<int> stepped;
        for (const TCall& call : Calls) {
            EXPECT_EQ(call.channel, k.channel);
            EXPECT_EQ(call.mode, k.mode);
            EXPECT_EQ(call.exc, 2);
            EXPECT_EQ(steppedB ? call.a : call.b, 0);
            stepped.push_back(steppedB ? call.b : call.a);
        }
        EXPECT_EQ(stepped, k.steppedCodes);
        EXPECT_EQ(actual->text().toStdString(),
                  CapacitanceText(k.reading(k.endA, k.endB)).toStdString());
        EXPECT_TRUE(Prompts.Errors.isEmpty());
        // The codes reach the model only when the dialog closes.
        EXPECT_EQ(Model.CAPDAC1A(), 0);
    }
}

TEST_F(ChannelAdjustTest, TheDialogShowsHowTheAdjustmentEnded) {
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    // Readings in exact binary fractions, except where the three decimals round them.
    const TReading falling = [](int a, int) { return 2.5 - 0.11 * a; };
    const TReading fallsUntilItFails = [](int a, int) {
        if (a == 20)
            throw EHIDError("Data Read Request failed");
        return 2.5 - 0.11 * a;
    };
    const QString busy = QStringLiteral("Meter CH42 is measuring continuously: stop the "
                                        "measurement before measuring on it here.");
    struct Case {
        const char* what;
        int channel, mode, target;
        TReading reading;
        const QLocale& locale;
        const char* shown; // beside "Mode"
        QString end;       // under the CAPDAC group
        QString reported;  // through the error report; empty for none
    };
    const Case cases[] = {
        {"just above the target", 1, 1, 0, falling, c, "0.080 pF", "Reached: 0.080 pF at A = 22",
         ""},
        {"decimal comma", 1, 1, 0, falling, german, "0,080 pF", "Reached: 0,080 pF at A = 22", ""},
        {"DAC B reaches the target", 2, 2, 2, [](int, int b) { return -3.0 + b / 8.0; }, c,
         "2.000 pF", "Reached: 2.000 pF at B = 40", ""},
        {"DAC B at the target with code 0", 1, 2, 0, [](int, int b) { return b / 8.0; }, c,
         "0.000 pF", "Reached: 0.000 pF at B = 0", ""},
        {"still above at A = 127", 2, 1, -3, [](int a, int) { return 40.0 - a / 8.0; }, c,
         "24.125 pF", "Stopped at the limit A = 127: 24.125 pF", ""},
        {"at or below already at A = 0", 1, 1, 0, [](int, int) { return -0.5; }, c, "-0.500 pF",
         "Stopped at the limit A = 0: -0.500 pF", ""},
        {"still below at B = 127", 1, 2, 3, [](int, int b) { return -20.0 + b / 8.0; }, c,
         "-4.125 pF", "Stopped at the limit B = 127: -4.125 pF", ""},
        {"failed transfer", 1, 1, 0, fallsUntilItFails, c, "1.400 pF",
         "Failed: Data Read Request failed", "Data Read Request failed"},
        {"meter busy in a continuous run", 2, 2, 0,
         [&](int, int) -> double { throw EMeterBusy(busy.toStdString()); }, c, "",
         "Failed: " + busy, busy},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Prompts.Errors.clear();
        Form.Load(&Model);
        Form.setLocale(k.locale);
        const bool one = k.channel == 1;
        (one ? Form.CAP1ModeCB : Form.CAP2ModeCB)->setCurrentIndex(k.mode);
        (one ? Form.Target1SE : Form.Target2SE)->setValue(k.target);
        Script(k.reading);

        one ? Form.AdjustCAPDAC1BtnClick() : Form.AdjustCAPDAC2BtnClick();

        EXPECT_EQ((one ? Form.ActCAP1L : Form.ActCAP2L)->text().toStdString(), k.shown);
        EXPECT_EQ((one ? Form.AdjustEnd1L : Form.AdjustEnd2L)->text().toStdString(),
                  k.end.toStdString());
        EXPECT_EQ(Prompts.Errors.join('\n').toStdString(), k.reported.toStdString());
    }
    Form.setLocale(QLocale());
}

TEST_F(ChannelAdjustTest, EachMeterShowsOnlyItsOwnAdjustments) {
    TModel other(QStringLiteral("CH77"));
    TModel unnamed{QString()};
    for (TMeter* model : {&Model, &other.Model, &unnamed.Model}) {
        model->SetCAP1Mode(1);
        model->SetCAP2Mode(1);
    }
    Form.setLocale(QLocale::c());
    Script([](int a, int) { return 2.5 - 0.11 * a; });
    Form.Load(&Model);
    Form.AdjustCAPDAC1BtnClick();
    ASSERT_EQ(Form.AdjustEnd1L->text().toStdString(), "Reached: 0.080 pF at A = 22");
    Form.WriteBack();

    // The other meter has never been adjusted.
    Form.Load(&other.Model);
    for (QLabel* label : {Form.ActCAP1L, Form.AdjustEnd1L, Form.ActCAP2L, Form.AdjustEnd2L})
        EXPECT_TRUE(label->text().isEmpty()) << label->objectName().toStdString();
    Script([](int a, int) { return 1.5 - 0.11 * a; });
    Form.AdjustCAPDAC2BtnClick();
    ASSERT_EQ(Form.AdjustEnd2L->text().toStdString(), "Reached: 0.070 pF at A = 13");
    Form.WriteBack();

    // Each opening shows its own meter's last adjustments again, and nothing of the other's.
    Form.Load(&Model);
    EXPECT_EQ(Form.ActCAP1L->text().toStdString(), "0.080 pF");
    EXPECT_EQ(Form.AdjustEnd1L->text().toStdString(), "Reached: 0.080 pF at A = 22");
    EXPECT_TRUE(Form.ActCAP2L->text().isEmpty());
    EXPECT_TRUE(Form.AdjustEnd2L->text().isEmpty());
    Form.Load(&other.Model);
    EXPECT_TRUE(Form.ActCAP1L->text().isEmpty());
    EXPECT_TRUE(Form.AdjustEnd1L->text().isEmpty());
    EXPECT_EQ(Form.ActCAP2L->text().toStdString(), "0.070 pF");

    // Meters without a serial number cannot be told apart: none is shown an earlier reading.
    Form.Load(&unnamed.Model);
    Form.AdjustCAPDAC1BtnClick();
    Form.Load(&unnamed.Model);
    EXPECT_TRUE(Form.ActCAP1L->text().isEmpty());
    EXPECT_TRUE(Form.AdjustEnd1L->text().isEmpty());
    Form.setLocale(QLocale());
}

TEST_F(ChannelAdjustTest, OffChannelMeasuresNothing) {
    Form.Load(&Model);
    Form.DAC1A_SE->setValue(12);
    Script([](int, int) { return 1.0; });
    Form.AdjustCAPDAC1BtnClick();
    EXPECT_TRUE(Calls.empty());
    EXPECT_EQ(Form.DAC1A_SE->value(), 12);
}

TEST_F(ChannelAdjustTest, FailedTransferIsReportedAndLeavesTheCodesWhereTheyWere) {
    Model.SetCAPDAC1A(5);
    Form.Load(&Model);
    Form.CAP1ModeCB->setCurrentIndex(1);
    Form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Form));
    Form.SetMeasureFunction([n = 0](int, int, int a, int, int) mutable -> double {
        if (++n == 3)
            throw EHIDError("Write report 0x14 failed");
        return 100.0 - a;
    });
    Form.AdjustCAPDAC1BtnClick();
    ASSERT_EQ(Prompts.Errors.size(), 1);
    EXPECT_EQ(Prompts.Errors[0].toStdString(), "Write report 0x14 failed");
    EXPECT_EQ(Form.DAC1A_SE->value(), 20);
    EXPECT_EQ(Form.ActCAP1L->text().toStdString(), CapacitanceText(90.0).toStdString());
    EXPECT_EQ(Form.AdjustEnd1L->text().toStdString(), "Failed: Write report 0x14 failed");
    EXPECT_TRUE(Form.isVisible());
    EXPECT_EQ(Model.CAPDAC1A(), 5);
    Form.close();
}

// --- the real model on a virtual meter ----------------------------------------------------

class ChannelAdjustOnMeterTest : public testing::Test {
protected:
    TVirtualHidBus Bus;
    std::shared_ptr<TVirtualMeter> Meter = std::make_shared<TVirtualMeter>(QStringLiteral("VM6"));
    std::unique_ptr<THidDeviceController> Controller;
    std::unique_ptr<TMeter> Model;
    TChannelConfigDialog Form;
    TScriptedPrompts Prompts;

    void SetUp() override {
        Meter->SetInputCapacitance(1, 6.0);
        Bus.Plug(Meter);
        Controller = std::make_unique<THidDeviceController>(Bus);
        QCoreApplication::processEvents();
        auto device = Controller->CheckOut();
        ASSERT_NE(device, nullptr);
        Model = std::make_unique<TMeter>();
        Model->SetUpBridge(std::make_unique<THidBridge>(std::move(device)));
        Model->SetCAP1Mode(1);
        Model->SetCAPDAC1Mode(1);
        Form.Load(Model.get());
    }
    void TearDown() override {
        Model.reset();
        Controller.reset();
    }
};

TEST_F(ChannelAdjustOnMeterTest, SixPicofaradsEndJustAboveTheTarget) {
    const double step = TVirtualMeter::CapDacStepPf;
    // The largest code that leaves the reading above 0 pF.
    const int expected = int(std::ceil(6.0 / step)) - 1;
    ASSERT_EQ(expected, 44);
    const int before = Meter->ConversionsStarted();

    Form.AdjustCAPDAC1BtnClick();

    ASSERT_TRUE(Prompts.Errors.isEmpty()) << Prompts.Errors.join('\n').toStdString();
    EXPECT_EQ(Form.DAC1A_SE->value(), expected);
    EXPECT_EQ(Form.DAC1B_SE->value(), 0);
    const QString text = Form.ActCAP1L->text();
    ASSERT_TRUE(text.endsWith(QStringLiteral(" pF"))) << text.toStdString();
    const double shown = QLocale().toDouble(text.chopped(3));
    EXPECT_NEAR(shown, 6.0 - expected * step, 0.0005);
    EXPECT_GT(shown, 0.0);
    EXPECT_EQ(Form.AdjustEnd1L->text().toStdString(),
              QStringLiteral("Reached: %1 at A = %2").arg(text).arg(expected).toStdString());
    // Coarse codes 0 to 50 (6 of at most 14), then fine codes 49 down to 44.
    EXPECT_EQ(Meter->ConversionsStarted() - before, 6 + 6);

    Form.WriteBack();
    EXPECT_EQ(Model->CAPDAC1A(), expected);
    EXPECT_EQ(Model->RegData()[11], 0x80 | expected);
}

TEST_F(ChannelAdjustOnMeterTest, BrokenMeterIsReported) {
    Form.DAC1A_SE->setValue(30);
    Meter->SetTransfersFailing(true);
    Form.AdjustCAPDAC1BtnClick();
    EXPECT_EQ(Prompts.Errors.size(), 1);
    EXPECT_EQ(Form.DAC1A_SE->value(), 0);
    EXPECT_TRUE(Form.AdjustEnd1L->text().startsWith(QStringLiteral("Failed: ")));
}

TEST_F(ChannelAdjustOnMeterTest, MeterInAContinuousRunEndsTheAdjustmentAtOnce) {
    int records = 0;
    QObject::connect(Model.get(), &TMeter::DataReceived, [&] { ++records; });
    Model->SetRegsFromConfig();
    Model->SetContinuousModeInterval(3);
    Model->SetContinuousMode(true);
    Model->StartMes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return records >= 2; }, 10000));

    Form.AdjustCAPDAC1BtnClick();

    ASSERT_EQ(Prompts.Errors.size(), 1);
    EXPECT_TRUE(Prompts.Errors[0].contains(QStringLiteral("continuously")))
        << Prompts.Errors[0].toStdString();
    EXPECT_EQ(Form.AdjustEnd1L->text().toStdString(),
              (QStringLiteral("Failed: ") + Prompts.Errors[0]).toStdString());
    EXPECT_TRUE(Form.ActCAP1L->text().isEmpty());
    Model->StopMes();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Meter->LedOn(); }, 5000));
}

} // namespace
