#include "dialogs/About.h"

#include "generated/BuildVersion.h"

#include <QDesktopServices>
#include <QLabel>
#include <QList>
#include <QScreen>
#include <QTest>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable failure messages for the Qt values compared below.
void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
void PrintTo(const QPoint& p, std::ostream* os) {
    *os << '(' << p.x() << ", " << p.y() << ')';
}
void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << 'x' << s.height();
}
void PrintTo(const QRect& r, std::ostream* os) {
    *os << '(' << r.x() << ", " << r.y() << ") " << r.width() << 'x' << r.height();
}

namespace {

TEST(VersionString, FormatsFourUnsignedNumbers) {
    struct Case {
        std::uint16_t v[4];
        const char* text;
    };
    const Case cases[] = {
        {{5, 2, 1, 7}, "5.2.1.7"},
        {{0, 0, 0, 0}, "0.0.0.0"},
        // Above 32767 a signed reading would turn negative.
        {{32767, 32768, 65535, 40000}, "32767.32768.65535.40000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(VersionString(c.v).toStdString(), c.text);
}

QString Text(const QWidget& box, const char* name) {
    const auto* label = box.findChild<QLabel*>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<no label %1>").arg(QLatin1String(name));
}

const QString ExpectedBuild = QStringLiteral("Build ") + VersionString(dielo::BuildVersion);

TEST(AboutBox, LooksAsDesigned) {
    TAboutBox box;
    EXPECT_EQ(box.windowTitle(), "About Dielo Meter");
    EXPECT_EQ(box.minimumSize(), QSize(509, 206));
    EXPECT_EQ(box.maximumSize(), QSize(509, 206));
    const Qt::WindowFlags flags = box.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowContextHelpButtonHint));

    const auto* panel = box.findChild<QWidget*>(QStringLiteral("Frame"));
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->geometry(), QRect(0, 0, 509, 206));

    const auto* image = box.findChild<QLabel*>(QStringLiteral("BannerImage"));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->geometry(), QRect(8, 8, 497, 73));
    EXPECT_EQ(image->pixmap().size(), QSize(487, 62));

    struct Expected {
        const char* name;
        QPoint at;
        QString text;
    };
    const Expected labels[] = {
        {"WebLink", {9, 91}, "https://www.example.org/dielometer"},
        {"MailLink", {313, 91}, "mailto:support@example.org"},
        {"ProductName", {8, 112}, "Dielo Meter 5.2"},
        {"BuildLabel", {8, 151}, "Build"},
        {"NoticeLabel", {8, 181}, "Measurement software for USB capacitance meters."},
    };
    for (const Expected& e : labels) {
        SCOPED_TRACE(e.name);
        const auto* label = box.findChild<QLabel*>(QLatin1String(e.name));
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), e.text);
        // A stand-in font wider than the classic one may move a label left, never elsewhere,
        // and its text must then still end inside the panel's bevel.
        EXPECT_EQ(label->y(), e.at.y());
        EXPECT_LE(label->x(), e.at.x());
        EXPECT_GE(label->x(), 8);
        EXPECT_TRUE(panel->rect().adjusted(2, 2, -2, -2).contains(label->geometry()))
            << label->geometry().right() << "," << label->geometry().bottom();
    }
    const auto* web = box.findChild<QLabel*>(QStringLiteral("WebLink"));
    const auto* mail = box.findChild<QLabel*>(QStringLiteral("MailLink"));
    EXPECT_EQ(web->x(), 9);
    EXPECT_LT(web->geometry().right(), mail->x());
}

TEST(AboutBox, ShowsTheBuildsVersionOnEveryShowing) {
    TAboutBox box;
    for (int showing = 1; showing <= 2; ++showing) {
        SCOPED_TRACE(showing);
        box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
        QTest::qWait(20);
        EXPECT_EQ(Text(box, "BuildLabel"), ExpectedBuild);
        EXPECT_EQ(box.frameGeometry().center(), box.screen()->availableGeometry().center());
        box.close();
    }
}

// Takes the addresses the box hands to the desktop.
class TUrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> Urls;

public slots:
    void Open(const QUrl& url) { Urls.append(url); }
};

class AboutBoxLinks : public testing::Test {
protected:
    void SetUp() override {
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &Catcher, "Open");
        QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &Catcher, "Open");
        Box.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&Box));
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
    }

    QLabel* Link(const char* name) { return Box.findChild<QLabel*>(QLatin1String(name)); }

    TUrlCatcher Catcher;
    TAboutBox Box;
};

TEST_F(AboutBoxLinks, OpenTheirOwnAddressOnClickOrKey) {
    using Action = std::function<void(QWidget*)>;
    const Action leftClick = [](QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); };
    const Action rightClick = [](QWidget* w) { QTest::mouseClick(w, Qt::RightButton); };
    const Action dragOff = [](QWidget* w) {
        QTest::mousePress(w, Qt::LeftButton);
        QTest::mouseRelease(w, Qt::LeftButton, {}, QPoint(w->width() + 20, w->height() + 20));
    };
    const auto key = [](Qt::Key k) -> Action {
        return [k](QWidget* w) {
            w->setFocus();
            QTest::keyClick(w, k);
        };
    };
    const Action enter = key(Qt::Key_Enter);
    const Action returnKey = key(Qt::Key_Return);
    const Action space = key(Qt::Key_Space);
    const Action letter = key(Qt::Key_A);

    const std::string web = "https://www.example.org/dielometer";
    const std::string mail = "mailto:support@example.org";
    struct Case {
        const char* what;
        const char* label;
        const Action& act;
        std::vector<std::string> opened;
    };
    const Case cases[] = {
        {"left click web", "WebLink", leftClick, {web}},
        {"left click mail", "MailLink", leftClick, {mail}},
        {"return", "WebLink", returnKey, {web}},
        {"enter", "MailLink", enter, {mail}},
        {"space", "MailLink", space, {mail}},
        {"right click", "WebLink", rightClick, {}},
        {"released outside", "MailLink", dragOff, {}},
        {"other key", "WebLink", letter, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QLabel* link = Link(c.label);
        ASSERT_NE(link, nullptr);
        Catcher.Urls.clear();
        c.act(link);
        std::vector<std::string> opened;
        for (const QUrl& url : Catcher.Urls)
            opened.push_back(url.toString().toStdString());
        EXPECT_EQ(opened, c.opened);
    }
    EXPECT_TRUE(Box.isVisible());
}

TEST_F(AboutBoxLinks, EscapeOnALinkStillClosesTheBox) {
    QLabel* link = Link("WebLink");
    ASSERT_NE(link, nullptr);
    link->setFocus();
    QTest::keyClick(link, Qt::Key_Escape);
    EXPECT_FALSE(Box.isVisible());
    EXPECT_TRUE(Catcher.Urls.isEmpty());
}

} // namespace

#include "AboutTest.moc"
