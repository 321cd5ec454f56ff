// A text listing of a compiled seccomp program, one instruction a line, for
// the golden dumps: jump targets as absolute instruction numbers, loads named
// by their seccomp_data field, compared numbers named by the call they stand
// for where the last load was the call number, and actions by name.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <string.h>

#include <cstddef>
#include <string>
#include <vector>

#include <fmt/core.h>

#include "confine/bpf_program.hpp"
#include "confine/seccomp_syscalls.hpp"

namespace tj::test {

inline std::string seccomp_field(uint32_t offset) {
    if (offset == offsetof(seccomp_data, nr)) return "nr";
    if (offset == offsetof(seccomp_data, arch)) return "arch";
    const uint32_t args = offsetof(seccomp_data, args);
    if (offset >= args && offset < args + 48) {
        return fmt::format("args[{}]{}", (offset - args) / 8, (offset - args) % 8 ? ".high" : "");
    }
    return "?";
}

inline std::string syscall_name(Arch arch, uint32_t nr) {
    for (const auto& row : kSyscallNumbers) {
        const int number = arch == Arch::aarch64 ? row.aarch64 : row.x86_64;
        if (number >= 0 && static_cast<uint32_t>(number) == nr) return std::string(row.name);
    }
    return "?";
}

inline std::string seccomp_action(uint32_t k) {
    switch (k & SECCOMP_RET_ACTION_FULL) {
        case SECCOMP_RET_ALLOW:
            return "ALLOW";
        case SECCOMP_RET_KILL_PROCESS:
            return "KILL_PROCESS";
        case SECCOMP_RET_ERRNO: {
            const char* name = strerrorname_np(static_cast<int>(k & SECCOMP_RET_DATA));
            return fmt::format("ERRNO({})", name != nullptr ? name : "?");
        }
        default:
            return fmt::format("{:#x}", k);
    }
}

// Whether A holds the call number on every way into each instruction. Jumps
// only go forward, so one pass in order sees every way in before the target.
inline std::vector<bool> holds_call_number(const BpfProgram& program) {
    std::vector<int> in(program.size(), -1);  // -1: not reached yet
    auto reach = [&](std::size_t pc, bool nr) {
        if (pc >= in.size()) return;
        in[pc] = in[pc] == -1 ? nr : (in[pc] == 1 && nr);
    };
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter& insn = program[pc];
        bool nr = in[pc] == 1;
        if (BPF_CLASS(insn.code) == BPF_LD) nr = insn.k == offsetof(seccomp_data, nr);
        if (BPF_CLASS(insn.code) == BPF_ALU) nr = false;
        if (BPF_CLASS(insn.code) == BPF_RET) continue;
        if (BPF_CLASS(insn.code) != BPF_JMP) {
            reach(pc + 1, nr);
        } else if (BPF_OP(insn.code) == BPF_JA) {
            reach(pc + 1 + insn.k, nr);
        } else {
            reach(pc + 1 + insn.jt, nr);
            reach(pc + 1 + insn.jf, nr);
        }
    }
    std::vector<bool> out(program.size());
    for (std::size_t pc = 0; pc < program.size(); ++pc) out[pc] = in[pc] == 1;
    return out;
}

inline std::string bpf_dump(const BpfProgram& program, Arch arch) {
    const std::vector<bool> nr = holds_call_number(program);
    std::string out;
    for (std::size_t pc = 0; pc < program.size(); ++pc) {
        const sock_filter& insn = program[pc];
        const std::size_t next = pc + 1;
        std::string text;
        switch (insn.code) {
            case BPF_LD | BPF_W | BPF_ABS:
                text = fmt::format("ld   {}", seccomp_field(insn.k));
                break;
            case BPF_ALU | BPF_AND | BPF_K:
                text = fmt::format("and  #{:#x}", insn.k);
                break;
            case BPF_JMP | BPF_JEQ | BPF_K:
                text = fmt::format("jeq  #{:#x}, {}, {}", insn.k, next + insn.jt, next + insn.jf);
                if (nr[pc]) text += "  ; " + syscall_name(arch, insn.k);
                break;
            case BPF_JMP | BPF_JSET | BPF_K:
                text = fmt::format("jset #{:#x}, {}, {}", insn.k, next + insn.jt, next + insn.jf);
                break;
            case BPF_JMP | BPF_JA:
                text = fmt::format("ja   {}", next + insn.k);
                break;
            case BPF_RET | BPF_K:
                text = fmt::format("ret  {}", seccomp_action(insn.k));
                break;
            default:
                text = fmt::format("code {:#x} jt {} jf {} k {:#x}", insn.code, insn.jt, insn.jf,
                                   insn.k);
        }
        out += fmt::format("{:4}  {}\n", pc, text);
    }
    return out;
}

}  // namespace tj::test
