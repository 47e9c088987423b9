#include "token/zel_token.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qe {
namespace {

TEST(ZelTokenTest, RecordCopiesTheFixedFieldsAndTextStopsAtTheFirstBlank) {
    CK_SLOT_INFO slot{};
    CK_TOKEN_INFO info{};
    std::memset(&slot, ' ', sizeof slot.slotDescription);
    std::memcpy(slot.slotDescription, "Reader 0", 8);
    std::memcpy(info.serialNumber, "0123456789ABCDEF", 16);
    std::memset(info.label, ' ', sizeof info.label);
    std::memcpy(info.label, "My Token", 8);
    std::memset(info.manufacturerID, ' ', sizeof info.manufacturerID);
    std::memcpy(info.manufacturerID, "Acme Tokens Ltd", 15);
    std::memset(info.model, ' ', sizeof info.model);

    const zel_token token = MakeTokenRecord(slot, info, 3, "libvendor.so");
    EXPECT_EQ(SerialText(token), "0123456789ABCDEF");
    EXPECT_EQ(LabelText(token), "My");
    EXPECT_EQ(ManufacturerText(token), "Acme");
    EXPECT_EQ(ModelText(token), "");
    EXPECT_EQ(std::memcmp(token.slotDescription, slot.slotDescription, 64), 0);
    EXPECT_EQ(token.slotIndex, 3u);
    EXPECT_EQ(token.modulePath, "libvendor.so");

    EXPECT_TRUE(HasSerialNumber(info, token));
    info.serialNumber[15] = 'X';
    EXPECT_FALSE(HasSerialNumber(info, token));
}

}  // namespace
}  // namespace qe
