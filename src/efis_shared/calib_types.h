// The sensor calibration record as the unit's firmware keeps it, and the indices of its values.
#pragma once

#include <cstddef>
#include <cstdint>

struct Vec3_f_t {
    float x;
    float y;
    float z;
};

struct Matrix3_f_t {
    float matrix[3][3]; // row by row: [r][c] at 4 * (3r + c)
};

struct LSM_CAL_t {
    Vec3_f_t acc_offset;
    uint32_t acc_offset_crc;
    Vec3_f_t acc_scale;
    uint32_t acc_scale_crc;
    Vec3_f_t gyro_bias;
    uint32_t gyro_bias_crc;
};

struct MAG_CAL_t {
    Vec3_f_t B_vector;
    uint32_t B_vector_crc;
    Matrix3_f_t A_matrix;
    uint32_t A_matrix_crc;
};

struct AUAV_CAL_t {
    float pitot_offset;
    float static_offset;
    uint32_t crc;
};

struct AUAV_Coefficients_t {
    float LIN_A;
    float LIN_B;
    float LIN_C;
    float LIN_D;
    float Es;
    float TC50H;
    float TC50L;
    uint32_t crc;
};

struct SENSOR_CALIB_t {
    uint32_t magic;
    uint32_t version;
    LSM_CAL_t LSM_CAL;
    MAG_CAL_t MMC_INITIAL_CAL;
    MAG_CAL_t LIS_CAL;
    AUAV_CAL_t AUAV_CAL;
    AUAV_Coefficients_t pitot_coeff;
    AUAV_Coefficients_t static_coeff;
    uint32_t oat_cal_0deg;
    uint32_t oat_cal_100deg;
    uint32_t oat_crc;
    uint32_t crc32;
};

enum sensor_calib_struct_index : uint32_t {
    CALIB_VERSION_INDEX = 0,
    LSM_ACC_OFFSET_X_INDEX,
    LSM_ACC_OFFSET_Y_INDEX,
    LSM_ACC_OFFSET_Z_INDEX,
    LSM_ACC_OFFSET_CHKSUM_INDEX,
    LSM_ACC_SCALE_X_INDEX,
    LSM_ACC_SCALE_Y_INDEX,
    LSM_ACC_SCALE_Z_INDEX,
    LSM_ACC_SCALE_CHKSUM_INDEX,
    LSM_GYRO_BIAS_X_INDEX,
    LSM_GYRO_BIAS_Y_INDEX,
    LSM_GYRO_BIAS_Z_INDEX,
    LSM_GYRO_BIAS_CHKSUM_INDEX,
    MMC_INITIAL_B_VECTOR_0_INDEX,
    MMC_INITIAL_B_VECTOR_1_INDEX,
    MMC_INITIAL_B_VECTOR_2_INDEX,
    MMC_INITIAL_B_VECTOR_CHK_INDEX,
    MMC_INITIAL_A_MATRIX_0_0_index,
    MMC_INITIAL_A_MATRIX_1_0_index,
    MMC_INITIAL_A_MATRIX_2_0_index,
    MMC_INITIAL_A_MATRIX_0_1_index,
    MMC_INITIAL_A_MATRIX_1_1_index,
    MMC_INITIAL_A_MATRIX_2_1_index,
    MMC_INITIAL_A_MATRIX_0_2_index,
    MMC_INITIAL_A_MATRIX_1_2_index,
    MMC_INITIAL_A_MATRIX_2_2_index,
    MMC_INITIAL_A_MATRIX_CHK_INDEX,
    MMC_INSTALL_B_VECTOR_0_INDEX,
    MMC_INSTALL_B_VECTOR_1_INDEX,
    MMC_INSTALL_B_VECTOR_2_INDEX,
    MMC_INSTALL_B_VECTOR_CHK_INDEX,
    MMC_INSTALL_A_MATRIX_0_0_index,
    MMC_INSTALL_A_MATRIX_1_0_index,
    MMC_INSTALL_A_MATRIX_2_0_index,
    MMC_INSTALL_A_MATRIX_0_1_index,
    MMC_INSTALL_A_MATRIX_1_1_index,
    MMC_INSTALL_A_MATRIX_2_1_index,
    MMC_INSTALL_A_MATRIX_0_2_index,
    MMC_INSTALL_A_MATRIX_1_2_index,
    MMC_INSTALL_A_MATRIX_2_2_index,
    MMC_INSTALL_A_MATRIX_CHK_INDEX,
    LIS_MAG_OFFSET_X_INDEX,
    LIS_MAG_OFFSET_Y_INDEX,
    LIS_MAG_OFFSET_Z_INDEX,
    LIS_MAG_OFFSET_CHKSUM_INDEX,
    LIS_MAG_BIAS_0_0_index,
    LIS_MAG_BIAS_1_0_index,
    LIS_MAG_BIAS_2_0_index,
    LIS_MAG_BIAS_0_1_index,
    LIS_MAG_BIAS_1_1_index,
    LIS_MAG_BIAS_2_1_index,
    LIS_MAG_BIAS_0_2_index,
    LIS_MAG_BIAS_1_2_index,
    LIS_MAG_BIAS_2_2_index,
    LIS_MAG_BIAS_CHKSUM1_INDEX,
    AUAV_PITOT_OFFSET_INDEX,
    AUAV_STATIC_OFFSET_INDEX,
    AUAV_OFFSET_CAL_CRC,
    AUAV_PT_LIN_A,
    AUAV_PT_LIN_B,
    AUAV_PT_LIN_C,
    AUAV_PT_LIN_D,
    AUAV_PT_Es,
    AUAV_PT_TC50H,
    AUAV_PT_TC50L,
    AUAV_PT_CRC,
    AUAV_ST_LIN_A,
    AUAV_ST_LIN_B,
    AUAV_ST_LIN_C,
    AUAV_ST_LIN_D,
    AUAV_ST_Es,
    AUAV_ST_TC50H,
    AUAV_ST_TC50L,
    AUAV_ST_CRC,
    OAT_0DEG_INDEX,
    OAT_100DEG_INDEX,
    OAT_CRC_INDEX,
    CALIB_MAGIC_NUM = 254,
    CALIB_CRC_INDEX = 255,
};

static_assert(MMC_INSTALL_B_VECTOR_0_INDEX == 27 && MMC_INSTALL_A_MATRIX_CHK_INDEX == 40);
static_assert(LIS_MAG_OFFSET_X_INDEX == 41 && LIS_MAG_BIAS_CHKSUM1_INDEX == 54);
static_assert(AUAV_PITOT_OFFSET_INDEX == 55 && AUAV_PT_CRC == 65 && AUAV_ST_CRC == 73);
static_assert(OAT_0DEG_INDEX == 74 && OAT_CRC_INDEX == 76);

static_assert(sizeof(Vec3_f_t) == 12 && sizeof(Matrix3_f_t) == 36);
static_assert(sizeof(LSM_CAL_t) == 48);
static_assert(offsetof(LSM_CAL_t, acc_offset_crc) == 12 && offsetof(LSM_CAL_t, acc_scale) == 16);
static_assert(offsetof(LSM_CAL_t, acc_scale_crc) == 28 && offsetof(LSM_CAL_t, gyro_bias) == 32);
static_assert(offsetof(LSM_CAL_t, gyro_bias_crc) == 44);
static_assert(sizeof(MAG_CAL_t) == 56);
static_assert(offsetof(MAG_CAL_t, B_vector_crc) == 12 && offsetof(MAG_CAL_t, A_matrix) == 16);
static_assert(offsetof(MAG_CAL_t, A_matrix_crc) == 52);
static_assert(sizeof(AUAV_CAL_t) == 12 && offsetof(AUAV_CAL_t, crc) == 8);
static_assert(sizeof(AUAV_Coefficients_t) == 32 && offsetof(AUAV_Coefficients_t, TC50L) == 24);
static_assert(offsetof(AUAV_Coefficients_t, crc) == 28);
static_assert(sizeof(SENSOR_CALIB_t) == 260);
static_assert(offsetof(SENSOR_CALIB_t, version) == 4);
static_assert(offsetof(SENSOR_CALIB_t, LSM_CAL) == 8);
static_assert(offsetof(SENSOR_CALIB_t, MMC_INITIAL_CAL) == 56);
static_assert(offsetof(SENSOR_CALIB_t, LIS_CAL) == 112);
static_assert(offsetof(SENSOR_CALIB_t, AUAV_CAL) == 168);
static_assert(offsetof(SENSOR_CALIB_t, pitot_coeff) == 180);
static_assert(offsetof(SENSOR_CALIB_t, static_coeff) == 212);
static_assert(offsetof(SENSOR_CALIB_t, oat_cal_0deg) == 244);
static_assert(offsetof(SENSOR_CALIB_t, oat_cal_100deg) == 248);
static_assert(offsetof(SENSOR_CALIB_t, oat_crc) == 252);
static_assert(offsetof(SENSOR_CALIB_t, crc32) == 256);
