// The About dialog: what Pelorin is, where to read more, and when this program was built. Modal; Enter and
// Escape both close it. Each credit block has a logo and a link; both open the block's web address.
#pragma once

#include <QDialog>
#include <QUrl>

class QLabel;

constexpr const char* ABOUT_CAPTION = "About Sine Wave";
constexpr const char* ABOUT_TITLE = "TTP/C Cluster - Pelorin Application";
constexpr int ABOUT_CLIENT_WIDTH = 443;
constexpr int ABOUT_CLIENT_HEIGHT = 510;

/// The web addresses of the upper and the lower credit block.
QUrl about_upper_address();
QUrl about_lower_address();

/// "(Built Nov 13 2002, 10:46:44)" with the date and time of this build.
QString build_date_caption();

class TAboutForm : public QDialog {
    Q_OBJECT
  public:
    explicit TAboutForm(QWidget* parent = nullptr);

  private:
    void OpenUpper();
    void OpenLower();
};
