#include "efis_shared/crc.h"

uint32_t EFIS_crc(const uint32_t* data, uint32_t words)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint32_t i = 0; i < words; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 32; ++bit) {
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : (crc << 1);
        }
    }
    return crc;
}
