// The calibration record for people: every word's name and the structure it lies in, its value as
// shown, blank blocks, and calibration files (and update backups) read back word for word.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <set>

#include "efis_shared/get_set.h"
#include "settings_file/settings_file.h"

namespace {

using namespace settings_file;
using Kind = CalibrationField::Kind;

// Where the field of an index lies in the record, found through the record's own accessor.
size_t offset_of(uint32_t index)
{
    SENSOR_CALIB_t c{};
    uint32_t marker = 0xA5A5A5A5;
    EXPECT_TRUE(calib_set_value(&c, static_cast<sensor_calib_struct_index>(index), &marker));
    const auto* bytes = reinterpret_cast<const unsigned char*>(&c);
    size_t at = 0;
    while (at < sizeof c && bytes[at] == 0) {
        ++at;
    }
    return at;
}

TEST(CalibrationNames, EveryIndexByItsEnumeratorInTheStructureItLiesIn)
{
    struct Structure {
        size_t offset, size;
        const char* block;
    };
    const Structure structures[] = {
        {offsetof(SENSOR_CALIB_t, LSM_CAL), sizeof(LSM_CAL_t), "inertial sensor"},
        {offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL), sizeof(MAG_CAL_t), "magnetometer (initial)"},
        {offsetof(SENSOR_CALIB_t, LIS_CAL), sizeof(MAG_CAL_t), "magnetometer (LIS)"},
        {offsetof(SENSOR_CALIB_t, AUAV_CAL), sizeof(AUAV_CAL_t), "pressure offsets"},
        {offsetof(SENSOR_CALIB_t, pitot_coeff), sizeof(AUAV_Coefficients_t), "pitot coefficients"},
        {offsetof(SENSOR_CALIB_t, static_coeff), sizeof(AUAV_Coefficients_t), "static coefficients"},
        {offsetof(SENSOR_CALIB_t, oat_cal_0deg), 12, "outside air temperature"},
    };
    std::set<std::string> names;
    for (uint32_t i = 0; i <= 0x1FF; ++i) {
        const CalibrationField* f = calibration_field(i);
        ASSERT_EQ(f != nullptr, calib_index_has_field(i)) << i;
        if (f == nullptr) {
            continue;
        }
        const size_t at = offset_of(i);
        const char* block = "record header";
        for (const Structure& s : structures) {
            block = at >= s.offset && at < s.offset + s.size ? s.block : block;
        }
        EXPECT_STREQ(calibration_block_name(f->block), block) << i;
        EXPECT_STREQ(calibration_block(i), block) << i;
        const std::string name = f->name;
        const bool word = i == 0 || i == OAT_0DEG_INDEX || i == OAT_100DEG_INDEX || i == CALIB_MAGIC_NUM;
        const bool checksum = name.find("chk") != std::string::npos || name.find("crc") != std::string::npos;
        EXPECT_EQ(f->kind, checksum ? Kind::Checksum : word ? Kind::Word : Kind::Float) << name;
        EXPECT_TRUE(names.insert(name).second) << name;
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"), std::string::npos) << name;
    }
    EXPECT_EQ(names.size(), calibration_fields().size());
    for (const std::string text :
         {"calib_version (index 0)", "lsm_acc_offset_chksum (index 4)", "mmc_initial_a_matrix_1_0 (index 18)",
          "lis_mag_bias_chksum1 (index 54)", "auav_offset_cal_crc (index 57)", "auav_pt_es (index 62)",
          "calib_crc (index 255)"}) {
        EXPECT_EQ(calibration_word_name(std::stoul(text.substr(text.rfind(' ')))), text);
    }
    EXPECT_EQ(calibration_word_name(30), "calibration index 30");
}

TEST(CalibrationValues, ShortestFloatsRawNonFiniteHexOthers)
{
    const CalibrationField& gyro = *calibration_field(LSM_GYRO_BIAS_X_INDEX);
    const CalibrationField& oat = *calibration_field(OAT_0DEG_INDEX);
    const CalibrationField& crc = *calibration_field(LSM_ACC_OFFSET_CHKSUM_INDEX);
    const struct {
        const CalibrationField& field;
        uint32_t word;
        const char* text;
        nlohmann::ordered_json json;
    } rows[] = {
        {gyro, 0x3C4CCCCD, "0.0125", 0.0125},
        {gyro, 0x3A378034, "0.0007", 0.0007},
        {gyro, 0x80000000, "-0", -0.0},
        {gyro, 0x00000001, "1e-45", 1e-45},
        {gyro, 0x7F7FFFFF, "3.4028235e+38", 3.4028235e+38},
        {gyro, 0xFFFFFFFF, "0xFFFFFFFF", nullptr}, // erased: a NaN
        {gyro, 0x7F800000, "0x7F800000", nullptr},
        {oat, 0x00000C35, "0x00000C35", "0x00000C35"},
        {crc, 0x3F800000, "0x3F800000", "0x3F800000"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(calibration_value_text(r.field, r.word), r.text) << r.text;
        EXPECT_EQ(calibration_value_json(r.field, r.word).dump(), r.json.dump()) << r.text;
    }
    std::mt19937 rng(3);
    for (int n = 0; n < 20000; ++n) {
        const uint32_t word = static_cast<uint32_t>(rng());
        float f;
        std::memcpy(&f, &word, 4);
        if (std::isfinite(f)) {
            const float back = std::strtof(calibration_value_text(gyro, word).c_str(), nullptr);
            ASSERT_EQ(std::memcmp(&back, &f, 4), 0) << calibration_value_text(gyro, word);
        }
    }
}

TEST(CalibrationValues, ABlockIsBlankWhenItsDataWordsAreAllZeroOrAllErased)
{
    const auto blank = [](std::initializer_list<std::pair<uint32_t, uint32_t>> words) {
        const Calibration c(words.begin(), words.end());
        return calibration_view(c).at(0).blank;
    };
    // The pressure offsets: two floats and their checksum, which does not count.
    EXPECT_TRUE(blank({{55, 0}, {56, 0}, {57, 0x12345678}}));
    EXPECT_TRUE(blank({{55, 0xFFFFFFFF}, {56, 0xFFFFFFFF}, {57, 0}}));
    EXPECT_FALSE(blank({{55, 0}, {56, 0xFFFFFFFF}, {57, 0}}));
    EXPECT_FALSE(blank({{55, 0}, {56, 0x3F800000}, {57, 0}}));
    EXPECT_FALSE(blank({{57, 0}})) << "a checksum alone is no data";
}

std::string calibration_file(const std::string& blocks)
{
    return R"({"format": "efis-config calibration", "format_version": 1)" + blocks + "}";
}

TEST(CalibrationFiles, WrittenAndReadBackAndUpdateBackupsReadToo)
{
    CalibrationDocument doc{UnitInfo{0x00C0FFEE, fwversion_t{0x00020C00}, 0}, {{0, 1}, {9, 0x3C4CCCCD}, {255, 7}}};
    const std::string text = write_calibration_document(doc);
    EXPECT_EQ(nlohmann::json::parse(text), nlohmann::json::parse(R"({"format": "efis-config calibration",
        "format_version": 1, "unit": {"serial": "0x00C0FFEE", "firmware": "0.2.12", "rc": 0},
        "calibration": {"0": "0x00000001", "9": "0x3C4CCCCD", "255": "0x00000007"}})"));
    CalibrationDocument back;
    std::string error;
    ASSERT_TRUE(read_calibration_document(text, &back, &error)) << error;
    EXPECT_EQ(back.calibration, doc.calibration);
    EXPECT_EQ(back.unit->serial, 0x00C0FFEEu);

    // A firmware update's backup is a settings file with the same calibration block.
    Document backup;
    backup.unit = doc.unit;
    backup.calibration = doc.calibration;
    ASSERT_TRUE(read_calibration_document(write_document(backup), &back, &error)) << error;
    EXPECT_EQ(back.calibration, doc.calibration);

    const std::pair<std::string, const char*> refused[] = {
        {write_document(Document{}), "a settings file without a calibration block: it holds no calibration"},
        {calibration_file(""), "missing \"calibration\""},
        {calibration_file(R"(, "calibration": {"30": "0x0"})"), "\"30\" is not an index of the calibration record"},
        {calibration_file(R"(, "calibration": {"9": 0.0125})"), "calibration.9: expected a word"},
        {R"({"format": "efis-config airports", "format_version": 1})",
         "expected \"efis-config calibration\" or \"efis-config settings\""},
    };
    for (const auto& [file, why] : refused) {
        EXPECT_FALSE(read_calibration_document(file, &back, &error)) << file;
        EXPECT_NE(error.find(why), std::string::npos) << error;
    }
    // A calibration file is no settings file.
    Document settings;
    EXPECT_FALSE(read_document(text, &settings, &error));
}

} // namespace
