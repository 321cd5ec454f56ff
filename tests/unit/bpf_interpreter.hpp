// A classic-BPF evaluator for seccomp programs, as the kernel runs them: the
// instructions the seccomp compiler emits, bounds-checked loads from
// seccomp_data, forward jumps only. Anything else is a test failure.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tj::test {

// A return value no seccomp action uses, for programs the kernel would reject.
inline constexpr uint32_t kBpfInvalid = 0xDEADBEEF;

inline uint32_t run_bpf(const std::vector<sock_filter>& program, const seccomp_data& data) {
    uint32_t a = 0;
    std::size_t pc = 0;
    auto bad = [&](const std::string& why) {
        ADD_FAILURE() << "instruction " << pc << ": " << why;
        return kBpfInvalid;
    };
    auto jump = [&](uint32_t offset) { pc += 1 + offset; };
    while (pc < program.size()) {
        const sock_filter& insn = program[pc];
        switch (insn.code) {
            case BPF_LD | BPF_W | BPF_ABS:
                if (insn.k % 4 != 0 || insn.k + 4 > sizeof data) return bad("load out of bounds");
                std::memcpy(&a, reinterpret_cast<const char*>(&data) + insn.k, 4);
                ++pc;
                break;
            case BPF_ALU | BPF_AND | BPF_K:
                a &= insn.k;
                ++pc;
                break;
            case BPF_JMP | BPF_JEQ | BPF_K:
                jump(a == insn.k ? insn.jt : insn.jf);
                break;
            case BPF_JMP | BPF_JSET | BPF_K:
                jump((a & insn.k) != 0 ? insn.jt : insn.jf);
                break;
            case BPF_JMP | BPF_JA:
                jump(insn.k);
                break;
            case BPF_RET | BPF_K:
                return insn.k;
            default:
                return bad("unexpected opcode " + std::to_string(insn.code));
        }
    }
    return bad("fell off the end of the program");
}

// "" when every jump lands inside the program and the last instruction
// returns; otherwise what is wrong. The kernel's checker refuses such programs.
inline std::string bpf_shape_fault(const std::vector<sock_filter>& program) {
    if (program.empty() || program.back().code != (BPF_RET | BPF_K)) return "no final return";
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter& insn = program[pc];
        if (BPF_CLASS(insn.code) != BPF_JMP) continue;
        const uint64_t far = BPF_OP(insn.code) == BPF_JA ? insn.k : std::max(insn.jt, insn.jf);
        if (pc + 1 + far >= program.size()) return "jump out of range at " + std::to_string(pc);
    }
    return "";
}

}  // namespace tj::test
