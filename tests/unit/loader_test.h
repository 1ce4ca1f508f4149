// The fixture every host test of the loader starts from: a fresh fake
// firmware installed in the loader globals, fresh fake processor state, and
// the loader's static tables emptied.
#pragma once

#include "firmware/page_ledger.h"
#include "mm/region_table.h"
#include "tests/fakes/fake_arch.h"
#include "tests/fakes/fake_firmware.h"
#include "uefi/loader_globals.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

class LoaderTest : public ::testing::Test {
  protected:
    LoaderTest() {
        fake_arch::reset();
        page_ledger().clear();
        carve_table().clear();
        set_loader_globals(firmware.image_handle(), firmware.system_table());
    }

    ~LoaderTest() override { set_loader_globals(nullptr, nullptr); }

    // The bytes the loader wrote to the serial log.
    static std::string serial() { return fake_arch::serial_output(); }

    // Runs `action`, which must end in a halt.
    static void expect_halt(const std::function<void()>& action) {
        EXPECT_THROW(action(), fake_arch::Halted);
    }

    // Runs `action`, which must end in the check failure with `message`:
    // the message shown on both consoles, Exit with EFI_ABORTED, and the
    // message with CR LF NUL as exit data.
    void expect_check_failure(const std::function<void()>& action, const std::string& message) {
        firmware.exit_call.reset();
        EXPECT_THROW(action(), fake_arch::Halted);
        ASSERT_TRUE(firmware.exit_call.has_value()) << "no check failure for: " << message;
        std::u16string expected(message.begin(), message.end());
        expected += u"\r\n";
        expected.push_back(u'\0');
        EXPECT_EQ(firmware.exit_call->status, EFI_ABORTED);
        EXPECT_EQ(firmware.exit_call->data, expected);
    }

    FakeFirmware firmware;
};
