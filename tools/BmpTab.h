// The BMP tab: pictures and fonts for the display and its flash blocks. The bitmap group previews a
// picture from its converted stream (what the display will draw) and sends it to the screen or a
// flash block; the font group previews a BFF font from its converted data, makes its ".h" and
// binary files and sends it; the flash panel on the right shows the device's blocks, and the
// block selected there is where "Send To >>" puts a picture or font.
#pragma once

#include "BitmapConverter.h"
#include "FontConverter.h"

#include <QDateTime>
#include <QWidget>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QToolButton;
class TFlashPanel;
class TToolContext;
class TTouchPanel;

class TBmpTab : public QWidget {
    Q_OBJECT
public:
    explicit TBmpTab(TToolContext& context, QWidget* parent = nullptr);
    ~TBmpTab() override;

    // The bitmap group.
    QGroupBox* grpBMP;
    QPushButton* cmdBMPBrowse;
    QComboBox* cboBMPfileName; // bitmap file history
    QToolButton* spDelBMP;
    QLabel* lblBMPfileName;
    QPushButton* cmdBMPsend;
    QPushButton* cmdSendBMPtoFlash;
    QLineEdit* txtX;
    QLineEdit* txtY;
    QLabel* Image1; // the preview: the display's 240 x 320 screen
    QLabel* lblWidth;
    QLabel* lblHeight;
    QLabel* lblDepth;

    // The font group.
    QGroupBox* crpBFFFont;
    QPushButton* cmdFontBrows;
    QComboBox* cboBFFfileName; // font file history
    QToolButton* spDelBFF;
    QLabel* lblFontFileName;
    QPushButton* cndFontSend;
    QPushButton* cmdSendBFFtoFlash;
    QPushButton* cmdCreateFontFiles;
    QCheckBox* chkFontHead;
    QCheckBox* chkFontBinary;
    QLabel* imgFont;     // the font preview
    QLabel* lblFontInfo; // its cell size and character count

    // The flash block panel; its lblBlockNumber and lblFlashType name the destination of the
    // "Send To >>" buttons.
    TFlashPanel* flash;
    QLabel* lblBlockNumber;
    QLabel* lblFlashType;
    // Touch read-out.
    TTouchPanel* touch;

    // The open dialog of both Browse buttons (a Qt dialog, so tests can drive it).
    QFileDialog* dlgOpen;

    // The refresh that ends every tool action: file names, preview, "Ready", the terminal.
    void refreshTools();
    void showBmpInfo(const QString& fileName);
    // destination "com" (the screen) or "flash" (the selected block).
    void sendBmp(const QString& fileName, const std::string& destination);
    void createFontFiles(const QString& fileName);
    void sendFont(const QString& fileName, const std::string& destination);
    // The sending part of sendFont for a converted font.
    void sendFontData(const TFontData& font, const std::string& destination);

    // The Browse buttons: a chosen file joins the history and is selected.
    void cmdBmpBrowsClick();
    void cmdFontBrowsClick();

private:
    // The converted picture of a file, kept while the file stays as it was.
    struct TPicture {
        QString path;
        QDateTime modified;
        qint64 size = -1;
        std::string error;
        bool headed = false;   // the header could be read
        bool reported = false; // the converter's complaint has been shown
        TBmpHeader header{};
        std::vector<std::uint8_t> stream;
    };
    TPicture& picture(const QString& fileName);
    void showPreview(const QString& fileName);
    // No picture: the preview black, the size and depth labels empty, the window its own colour.
    void clearPicture();
    void setWindowColour(const QColor& colour);
    void showFontPreview(const QString& fileName);
    bool browse(QComboBox* box, const QString& filter);
    void clearList(QComboBox* box);
    void addError(const std::string& message);

    TToolContext& context_;
    TPicture picture_;
    bool refreshing_ = false;
    QString shownBmp_; // the file names the last refresh showed
    QString shownBff_;
};
