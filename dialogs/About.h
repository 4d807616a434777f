#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

#include <cstdint>

class QFrame;

// "major.minor.release.build"; each part is an unsigned 16-bit number and shows as 0..65535.
QString VersionString(const std::uint16_t (&v)[4]);
// The version this program was built as.
QString VersionString();

// A label that works as a link: a left click on it, or Return, Enter or Space while it has the
// focus, emits clicked().
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    bool FPressed = false; // a left press began on this label
};

// Help > About. The main window creates it once and shows it modally whenever asked; it keeps
// its state between showings.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void FormPaint();
    void WebLinkClick();
    void MailLinkClick();

    QFrame* Frame;
    QLabel* BannerImage;
    TLinkLabel* WebLink;
    TLinkLabel* MailLink;
    QLabel* ProductName;
    QLabel* BuildLabel;
    QLabel* NoticeLabel;
};
