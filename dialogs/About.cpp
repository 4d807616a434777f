#include "dialogs/About.h"

#include "generated/BuildVersion.h"

#include <QDesktopServices>
#include <QFrame>
#include <QImage>
#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QStyleOptionFocusRect>
#include <QStylePainter>
#include <QUrl>
#include <qdrawutil.h>

#include <algorithm>

namespace {

constexpr int ClientWidth = 509;
constexpr int ClientHeight = 206;
constexpr int Margin = 8; // between the panel's edge and its contents
constexpr int BannerWidth = 487;
constexpr int BannerHeight = 62;

const QColor LinkColor(0, 0, 255);
const QColor GreyText(128, 128, 128);
const QColor BevelShadow(160, 160, 160);

// White, with a sunken outer and a raised inner bevel. It paints its own background instead of
// filling it automatically: an opaque child covering the whole box would stop the box's own
// paint events, and those keep the build number up to date.
class TBevelPanel : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        QPalette pal = palette();
        pal.setColor(QPalette::Light, Qt::white);
        pal.setColor(QPalette::Dark, BevelShadow);
        const QRect outer = rect();
        qDrawShadePanel(&p, outer, pal, true, 1);
        qDrawShadePanel(&p, outer.adjusted(1, 1, -1, -1), pal, false, 1);
    }
};

QFont TextFont(int pixelSize) {
    QFont font;
    // The first is the classic dialog face; where it is missing, a common sans takes its place.
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(pixelSize);
    font.setBold(true);
    return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette pal = widget->palette();
    pal.setColor(QPalette::WindowText, color);
    widget->setPalette(pal);
}

// Places a label at its design position; when the font that stands in for the classic one runs
// wider, the label moves left just as far as it takes to keep its text whole inside the panel.
void Place(QLabel* label, QPoint at) {
    label->adjustSize();
    const int overrun = at.x() + label->width() - (ClientWidth - Margin);
    if (overrun > 0)
        at.rx() = std::max(Margin, at.x() - overrun);
    label->move(at);
}

QLabel* TextLabel(QWidget* parent, const char* name, const QString& text, int pixelSize,
                  const QColor& color, QPoint at) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(TextFont(pixelSize));
    SetTextColor(label, color);
    Place(label, at);
    return label;
}

TLinkLabel* LinkLabel(QWidget* parent, const char* name, const QString& url, QPoint at) {
    auto* label = new TLinkLabel(url, parent);
    label->setObjectName(QLatin1String(name));
    QFont font = TextFont(12);
    font.setUnderline(true);
    label->setFont(font);
    SetTextColor(label, LinkColor);
    Place(label, at);
    return label;
}

// The banner at the top: a blue gradient, a capacitor symbol and the program's name.
QImage Banner() {
    // Painted in 32 bits for the antialiasing, kept in 24.
    QImage image(BannerWidth, BannerHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    QLinearGradient sky(0, 0, BannerWidth, BannerHeight);
    sky.setColorAt(0.0, QColor(20, 55, 100));
    sky.setColorAt(1.0, QColor(70, 125, 180));
    p.fillRect(image.rect(), sky);

    // Two plates with their leads, in a soft circle.
    const QPointF centre(34, BannerHeight / 2.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 36));
    p.drawEllipse(centre, 24, 24);
    p.setPen(QPen(Qt::white, 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(16, centre.y()), QPointF(29, centre.y()));
    p.drawLine(QPointF(39, centre.y()), QPointF(52, centre.y()));
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(30, centre.y() - 13), QPointF(30, centre.y() + 13));
    p.drawLine(QPointF(38, centre.y() - 13), QPointF(38, centre.y() + 13));

    QFont title;
    title.setFamilies({QStringLiteral("DejaVu Sans")});
    title.setStyleHint(QFont::SansSerif);
    title.setPixelSize(26);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRect(70, 6, BannerWidth - 80, 32), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Dielo Meter"));

    QFont subtitle = title;
    subtitle.setPixelSize(12);
    subtitle.setBold(false);
    p.setFont(subtitle);
    p.setPen(QColor(205, 222, 240));
    p.drawText(QRect(71, 38, BannerWidth - 80, 16), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Capacitance measurement"));
    p.end();
    return image.convertToFormat(QImage::Format_RGB888);
}

// Nothing happens when no program takes the link; the box has nothing useful to say about it.
void OpenLink(const QLabel* label) {
    QDesktopServices::openUrl(QUrl(label->text()));
}

} // namespace

QString VersionString(const std::uint16_t (&v)[4]) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg(unsigned{v[0]})
        .arg(unsigned{v[1]})
        .arg(unsigned{v[2]})
        .arg(unsigned{v[3]});
}

QString VersionString() {
    return VersionString(dielo::BuildVersion);
}

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent)
    : QLabel(text, parent) {
    // The text is the address: never read it as markup.
    setTextFormat(Qt::PlainText);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::StrongFocus);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QLabel::mousePressEvent(event);
        return;
    }
    FPressed = true;
    event->accept();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QLabel::mouseReleaseEvent(event);
        return;
    }
    // Letting go outside the label takes the click back, as with a button.
    const bool click = FPressed && rect().contains(event->position().toPoint());
    FPressed = false;
    event->accept();
    if (click)
        emit clicked();
}

void TLinkLabel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Space:
        if (!event->isAutoRepeat())
            emit clicked();
        event->accept();
        return;
    default:
        // Escape and the rest go on to the box.
        QLabel::keyPressEvent(event);
    }
}

void TLinkLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QStylePainter p(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = Qt::white;
    p.drawPrimitive(QStyle::PE_FrameFocusRect, option);
}

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(tr("About Dielo Meter"));
    setFixedSize(ClientWidth, ClientHeight);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    setAutoFillBackground(true);

    Frame = new TBevelPanel(this);
    Frame->setObjectName(QStringLiteral("Frame"));
    Frame->setGeometry(0, 0, ClientWidth, ClientHeight);

    BannerImage = new QLabel(Frame);
    BannerImage->setObjectName(QStringLiteral("BannerImage"));
    BannerImage->setGeometry(8, 8, 497, 73);
    BannerImage->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    BannerImage->setPixmap(QPixmap::fromImage(Banner()));

    WebLink = LinkLabel(Frame, "WebLink", QStringLiteral("https://www.example.org/dielometer"),
                        QPoint(9, 91));
    MailLink =
        LinkLabel(Frame, "MailLink", QStringLiteral("mailto:support@example.org"), QPoint(313, 91));
    connect(WebLink, &TLinkLabel::clicked, this, &TAboutBox::WebLinkClick);
    connect(MailLink, &TLinkLabel::clicked, this, &TAboutBox::MailLinkClick);

    ProductName = TextLabel(Frame, "ProductName", QStringLiteral("Dielo Meter 5.2"), 32, Qt::black,
                            QPoint(8, 112));
    BuildLabel =
        TextLabel(Frame, "BuildLabel", QStringLiteral("Build"), 12, GreyText, QPoint(8, 151));
    // Wide enough for any version, so that filling in the number during a paint never has to
    // resize the label.
    BuildLabel->resize(ClientWidth - 2 * Margin, BuildLabel->height());
    NoticeLabel =
        TextLabel(Frame, "NoticeLabel", tr("Measurement software for USB capacitance meters."), 12,
                  GreyText, QPoint(8, 181));
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Only when the program shows the box, not when the window system restores it.
    if (event->spontaneous())
        return;
    if (const QScreen* s = screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(s->availableGeometry().center());
        move(frame.topLeft());
    }
}

void TAboutBox::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    FormPaint();
}

void TAboutBox::FormPaint() {
    const QString text = QStringLiteral("Build ") + VersionString();
    // Setting the same text again would ask for another paint, and so on for ever.
    if (BuildLabel->text() != text)
        BuildLabel->setText(text);
}

void TAboutBox::WebLinkClick() {
    OpenLink(WebLink);
}

void TAboutBox::MailLinkClick() {
    OpenLink(MailLink);
}
