#pragma once
// The about dialog: banner, product version, legal notice, two links to the maker's
// pages and a close button, on a borderless white window.
#include <QDialog>
#include <QLabel>
#include <QString>

class QFrame;
class QToolButton;

namespace kv::app {

// Placeholder addresses until the product has pages of its own.
inline constexpr const char* ProductPageAddress = "https://www.example.org/kestravo/";
inline constexpr const char* HomePageAddress = "https://www.example.org/";

// A label that opens a web address when clicked and underlines itself under the mouse.
class TLinkLabel : public QLabel {
public:
    TLinkLabel(const QString& text, const QString& address, QWidget* parent);
    QString Address;

protected:
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    void SetUnderline(bool on);
};

class TAboutBox : public QDialog {
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    // The first three parts of a dotted version ("2.1.5.300" -> "2.1.5").
    static QString VersionText(const QString& version);

    QFrame* pnlClient;
    QLabel* imgTop;
    QLabel* lblVersion;
    QLabel* lblInfo;
    TLinkLabel* lbProductlHome;
    TLinkLabel* lblHomePage;
    QLabel* lblCopyright;
    QToolButton* btnClose;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace kv::app
