#include "dialogs/AboutLogo.h"
#include "dialogs/Aboutfrm.h"
#include "dialogs/JpegImage.h"

#include "DialogTest.h"

#include <QLabel>
#include <QPixmap>
#include <QTest>

#include <cstdio>
#include <functional>
#include <vector>

#include <gtest/gtest.h>
#include <jpeglib.h>

using namespace pmv;
using pmv::test::ShowActive;
using pmv::test::WhenModal;

namespace {

void SetAll(TAboutForm& f) {
    f.SetCompanyName("PMV Vodazivovu");
    f.SetApplicationName("PMV Controller Host");
    f.SetIdentity("PMV-HOST");
    f.SetVersion("V1.8");
    f.SetBuildTime("15:11");
    f.SetBuildDate("23rd June 2022");
    f.SetNoticeYear("2022");
}

// A small JPEG made with libjpeg's compressor: width x height, 1 or 3 components.
std::vector<unsigned char> MakeJpeg(int width, int height, int components) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = components;
    cinfo.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width * components));
    while (cinfo.next_scanline < cinfo.image_height) {
        for (std::size_t i = 0; i < row.size(); ++i)
            row[i] = static_cast<unsigned char>((i * 7 + cinfo.next_scanline * 3) & 0xFF);
        JSAMPROW r = row.data();
        jpeg_write_scanlines(&cinfo, &r, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<unsigned char> data(out, out + outSize);
    std::free(out);
    return data;
}

std::vector<unsigned char> Logo() {
    return std::vector<unsigned char>(AboutLogoJpeg, AboutLogoJpeg + AboutLogoJpegSize);
}

// Index of the first SOF0/SOF2 marker's height field, or 0.
std::size_t SofDimensions(const std::vector<unsigned char>& d) {
    for (std::size_t i = 2; i + 9 < d.size(); ++i)
        if (d[i] == 0xFF && (d[i + 1] == 0xC0 || d[i + 1] == 0xC2))
            return i + 5;
    return 0;
}

} // namespace

TEST(AboutForm, ShowsTheTextsItIsGiven) {
    TAboutForm f(nullptr);
    SetAll(f);
    ASSERT_TRUE(ShowActive(f));
    EXPECT_EQ(f.windowTitle(), "About PMV Controller Host");
    EXPECT_EQ(f.CompanyNameLabel->text(), "PMV Vodazivovu");
    EXPECT_EQ(f.ApplicationNameLabel->text(), "PMV Controller Host");
    EXPECT_EQ(f.IdentityLabel->text(), "Identity: PMV-HOST");
    EXPECT_EQ(f.VersionLabel->text(), "Version: V1.8");
    EXPECT_EQ(f.BuildDateLabel->text(), "Built: 23rd June 2022");
    EXPECT_EQ(f.BuildTimeLabel->text(), "Time: 15:11");
    const QString notice = f.CopyrightMessageLabel->text();
    EXPECT_TRUE(notice.contains("2022 PMV Vodazivovu")) << notice.toStdString();
    EXPECT_EQ(f.geometry().size(), QSize(274, 204));
    EXPECT_EQ(f.AboutImage->geometry(), QRect(56, 8, 145, 57));
    EXPECT_EQ(f.CompanyNameLabel->alignment(), Qt::AlignCenter);
    EXPECT_EQ(f.CompanyNameLabel->font().pixelSize(), 21);
    // Every text fits its label.
    for (QLabel* l : {f.CompanyNameLabel, f.ApplicationNameLabel, f.IdentityLabel, f.VersionLabel,
                      f.BuildDateLabel, f.BuildTimeLabel, f.CopyrightMessageLabel}) {
        SCOPED_TRACE(l->objectName().toStdString());
        EXPECT_LE(l->fontMetrics().horizontalAdvance(l->text()), l->width());
        EXPECT_LE(l->fontMetrics().height(), l->height());
    }
}

TEST(AboutForm, UnsetPropertiesShowQuestionMarks) {
    TAboutForm f(nullptr);
    ASSERT_TRUE(ShowActive(f));
    EXPECT_EQ(f.windowTitle(), "About ???");
    EXPECT_EQ(f.CompanyNameLabel->text(), "???");
    EXPECT_EQ(f.ApplicationNameLabel->text(), "???");
    EXPECT_EQ(f.IdentityLabel->text(), "Identity: ???");
    EXPECT_EQ(f.VersionLabel->text(), "Version: ???");
    EXPECT_EQ(f.BuildDateLabel->text(), "Built: ???");
    EXPECT_EQ(f.BuildTimeLabel->text(), "Time: ???");
    EXPECT_TRUE(f.CopyrightMessageLabel->text().contains("??? ???"));
    for (const std::string& s : {f.CompanyName(), f.ApplicationName(), f.Identity(), f.Version(),
                                 f.BuildTime(), f.BuildDate(), f.NoticeYear()})
        EXPECT_EQ(s, "???");
}

TEST(AboutForm, ClicksAndEscapeCloseOtherKeysDoNot) {
    struct Row {
        const char* name;
        std::function<void(TAboutForm&)> act;
        bool closes;
    };
    const auto click = [](QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); };
    const Row rows[] = {
        {"the box itself",
         [](TAboutForm& f) { QTest::mouseClick(&f, Qt::LeftButton, {}, QPoint(4, 100)); }, true},
        {"picture", [&](TAboutForm& f) { click(f.AboutImage); }, true},
        {"company", [&](TAboutForm& f) { click(f.CompanyNameLabel); }, true},
        {"application", [&](TAboutForm& f) { click(f.ApplicationNameLabel); }, true},
        {"identity", [&](TAboutForm& f) { click(f.IdentityLabel); }, true},
        {"version", [&](TAboutForm& f) { click(f.VersionLabel); }, true},
        {"build date", [&](TAboutForm& f) { click(f.BuildDateLabel); }, true},
        {"build time", [&](TAboutForm& f) { click(f.BuildTimeLabel); }, true},
        {"notice", [&](TAboutForm& f) { click(f.CopyrightMessageLabel); }, true},
        {"Escape", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_Escape); }, true},
        {"close box", [](TAboutForm& f) { f.close(); }, true},
        {"Enter", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_Return); }, false},
        {"keypad Enter", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_Enter); }, false},
        {"Space", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_Space); }, false},
        {"letter", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_A); }, false},
        {"F1", [](TAboutForm& f) { QTest::keyClick(&f, Qt::Key_F1); }, false},
        {"right button", [](TAboutForm& f) { QTest::mouseClick(f.VersionLabel, Qt::RightButton); },
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TAboutForm f(nullptr);
        SetAll(f);
        ASSERT_TRUE(ShowActive(f));
        r.act(f);
        EXPECT_EQ(f.isVisible(), !r.closes);
    }
}

TEST(AboutForm, ModalBoxEndsOnEscape) {
    TAboutForm f(nullptr);
    SetAll(f);
    WhenModal([](QWidget* w) {
        QTest::keyClick(w, Qt::Key_Return);
        EXPECT_TRUE(w->isVisible());
        QTest::keyClick(w, Qt::Key_Escape);
    });
    f.exec();
    EXPECT_FALSE(f.isVisible());
}

TEST(AboutForm, ShowsTheMakersPicture) {
    TAboutForm f(nullptr);
    EXPECT_TRUE(f.HasPicture());
    EXPECT_EQ(f.AboutImage->pixmap().size(), QSize(290, 114));
    EXPECT_TRUE(f.AboutImage->hasScaledContents()) << "stretched to the 145 x 57 frame";
}

TEST(JpegDecode, ValidPicturesHaveTheirSize) {
    const struct {
        const char* name;
        std::vector<unsigned char> data;
        QSize size;
    } rows[] = {
        {"the maker's picture", Logo(), QSize(290, 114)},
        {"colour", MakeJpeg(33, 17, 3), QSize(33, 17)},
        {"greyscale", MakeJpeg(8, 40, 1), QSize(8, 40)},
        {"one pixel", MakeJpeg(1, 1, 3), QSize(1, 1)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const QImage img = DecodeJpeg(r.data.data(), r.data.size());
        ASSERT_FALSE(img.isNull());
        EXPECT_EQ(img.size(), r.size);
    }
    // The logo's lower left corner is white background, its emblem blue.
    const std::vector<unsigned char> logo = Logo();
    const QImage img = DecodeJpeg(logo.data(), logo.size());
    EXPECT_GT(qGray(img.pixel(2, 111)), 240);
    const QRgb centre = img.pixel(57 + 30, 57);
    EXPECT_GT(qBlue(centre), qRed(centre));
}

TEST(JpegDecode, BadDataGivesNoPictureAndNoCrash) {
    const std::vector<unsigned char> logo = Logo();
    std::vector<unsigned char> garbledScan = logo;
    for (std::size_t i = garbledScan.size() / 2; i < garbledScan.size() - 2; i += 3)
        garbledScan[i] = static_cast<unsigned char>(i * 131);
    std::vector<unsigned char> noMarkers = logo;
    noMarkers[0] = 0x00;
    std::vector<unsigned char> huge = logo;
    const std::size_t sof = SofDimensions(huge);
    ASSERT_NE(sof, 0u);
    huge[sof] = 0x7F; // height 0x7Fxx
    huge[sof + 1] = 0xFF;
    std::vector<unsigned char> zeroWidth = logo;
    zeroWidth[sof + 2] = 0;
    zeroWidth[sof + 3] = 0;
    std::vector<unsigned char> random(4000);
    for (std::size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    std::vector<unsigned char> randomAfterSoi = random;
    randomAfterSoi[0] = 0xFF;
    randomAfterSoi[1] = 0xD8;
    const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13};

    const struct {
        const char* name;
        std::vector<unsigned char> data;
    } rows[] = {
        {"two bytes", std::vector<unsigned char>(logo.begin(), logo.begin() + 2)},
        {"header only", std::vector<unsigned char>(logo.begin(), logo.begin() + 200)},
        {"cut in half", std::vector<unsigned char>(logo.begin(), logo.begin() + logo.size() / 2)},
        {"end marker missing", std::vector<unsigned char>(logo.begin(), logo.end() - 2)},
        {"garbled scan data", garbledScan},
        {"no start marker", noMarkers},
        {"larger than allowed", huge},
        {"zero width", zeroWidth},
        {"random bytes", random},
        {"random bytes after a start marker", randomAfterSoi},
        {"a PNG signature", std::vector<unsigned char>(std::begin(png), std::end(png))},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_TRUE(DecodeJpeg(r.data.data(), r.data.size()).isNull());
    }
    EXPECT_TRUE(DecodeJpeg(nullptr, 100).isNull());
    EXPECT_TRUE(DecodeJpeg(logo.data(), 0).isNull());
    // The decoder is still usable afterwards.
    EXPECT_FALSE(DecodeJpeg(logo.data(), logo.size()).isNull());
}
