#include "tools/quillmor-check/kernel_verdict.h"

#include "tools/quillmor-check/fault_hints.h"

#include <cstdio>
#include <string>

namespace {

void print_rejection(const char* path, KernelImageFault fault) {
    const Text name = kernel_image_error_name(kernel_image_error(fault));
    const std::string text(name.bytes, name.length);
    const FaultHint hint = fault_hint(fault);
    std::printf("%s: rejected: %s\n", path, text.c_str());
    std::printf("  the loader logs: [quillmor] 内核映像不合规：%s\n", text.c_str());
    std::printf("  cause: %s\n", hint.cause);
    std::printf("  hint:  %s\n", hint.remedy);
}

} // namespace

std::optional<LoadPlan> judge_kernel(const char* path, const std::vector<uint8_t>& file,
                                     int& refusal) {
    if (file.empty()) {
        std::printf("%s: empty; the loader stops with: [quillmor] 装载失败：文件为空\n", path);
        refusal = kExitEmptyKernel;
        return std::nullopt;
    }
    const auto plan =
        plan_kernel({reinterpret_cast<uint64_t>(file.data()), static_cast<uint64_t>(file.size())});
    if (!plan.ok()) {
        print_rejection(path, plan.error());
        refusal = kExitFirstRejection + static_cast<int>(kernel_image_error(plan.error()));
        return std::nullopt;
    }
    return plan.value();
}
