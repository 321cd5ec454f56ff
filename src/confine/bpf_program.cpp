#include "confine/bpf_program.hpp"

#include <linux/seccomp.h>

#include <algorithm>
#include <cstddef>

#include <fmt/core.h>

namespace tj {
namespace {

using Block = std::vector<sock_filter>;

constexpr uint32_t kX32SyscallBit = 0x40000000;
constexpr uint32_t kFullMask = 0xFFFFFFFF;
// jt and jf are 8-bit offsets; ja carries a 32-bit one in k.
constexpr std::size_t kMaxShortJump = 255;

constexpr uint32_t kArchOffset = offsetof(seccomp_data, arch);
constexpr uint32_t kNrOffset = offsetof(seccomp_data, nr);
// Both target architectures are little-endian: an argument's low word comes first.
constexpr uint32_t arg_low_offset(unsigned arg) {
    return offsetof(seccomp_data, args) + 8 * arg;
}

sock_filter insn(uint16_t code, uint32_t k, std::size_t jt = 0, std::size_t jf = 0) {
    return {code, static_cast<uint8_t>(jt), static_cast<uint8_t>(jf), k};
}

// ld [offset]
sock_filter load_word(uint32_t offset) {
    return insn(BPF_LD | BPF_W | BPF_ABS, offset);
}

// ret #action
sock_filter ret(uint32_t action) {
    return insn(BPF_RET | BPF_K, action);
}

// and #mask
sock_filter and_mask(uint32_t mask) {
    return insn(BPF_ALU | BPF_AND | BPF_K, mask);
}

void append(Block& to, const Block& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// Enters `body` when A == value and otherwise skips it:
//   jeq #value, 0, len(body)
//   body
// or, when the body is longer than an 8-bit offset reaches:
//   jeq #value, 1, 0
//   ja  len(body)
//   body
Block enter_if_equal(uint32_t value, const Block& body) {
    Block out;
    if (body.size() <= kMaxShortJump) {
        out.push_back(insn(BPF_JMP | BPF_JEQ | BPF_K, value, 0, body.size()));
    } else {
        out.push_back(insn(BPF_JMP | BPF_JEQ | BPF_K, value, 1, 0));
        out.push_back(insn(BPF_JMP | BPF_JA, static_cast<uint32_t>(body.size())));
    }
    append(out, body);
    return out;
}

// One rule; a failing condition skips to the end of the rule, where the next
// rule of the row starts:
//   ld  [low word of args[i]]
//   and #mask                  (left out for a full mask)
//   jeq #value, 0, rest        (rest: up to the end of this rule)
//   ...                        (the next condition, alike)
//   ret #action
Result<Block> rule_block(const SeccompRule& rule, uint32_t action) {
    Block block{ret(action)};
    for (auto cond = rule.rbegin(); cond != rule.rend(); ++cond) {
        if (cond->arg > kMaxSeccompArg) {
            return fail(
                fmt::format("seccomp cond: The seccomp rule contains an invalid argument "
                            "index. Maximum index value: {}",
                            kMaxSeccompArg));
        }
        Block test{load_word(arg_low_offset(cond->arg))};
        if (cond->mask != kFullMask) test.push_back(and_mask(cond->mask));
        append(test, enter_if_equal(cond->value, block));
        block = std::move(test);
    }
    return block;
}

// One row, entered with the system-call number in A:
//   jeq #nr, 0, len(body)
//   body without rules:  ret #action
//   body with rules:     rule 1 ... rule n
//                        ret ALLOW     (the rules' loads replaced the number in A,
//                                       and no other row has this number)
Result<Block> row_block(const SeccompRow& row) {
    const uint32_t action = SECCOMP_RET_ERRNO | (row.err & SECCOMP_RET_DATA);
    Block body;
    for (const auto& rule : row.rules) append(body, TJ_TRY(rule_block(rule, action)));
    body.push_back(ret(row.rules.empty() ? action : SECCOMP_RET_ALLOW));
    return enter_if_equal(row.nr, body);
}

// The rows in ascending order of number; one row per call.
Result<std::vector<const SeccompRow*>> sorted_rows(const SeccompTable& table) {
    std::vector<const SeccompRow*> rows;
    for (const auto& row : table.rows) rows.push_back(&row);
    std::ranges::sort(rows, {}, &SeccompRow::nr);
    auto twice = std::ranges::adjacent_find(rows, {}, &SeccompRow::nr);
    if (twice != rows.end()) {
        return fail(fmt::format("Backend error: system call {} has two rows", (*twice)->nr));
    }
    return rows;
}

}  // namespace

//   ld   [arch]
//   jeq  #audit_arch, 1, 0
//   ret  KILL_PROCESS
//   ld   [nr]
//   jset #0x40000000, 0, 1     (x86_64 only: x32 numbers)
//   ret  KILL_PROCESS
//   row ... row                (ascending numbers)
//   ret  ALLOW
Result<BpfProgram> compile_seccomp_filter(const SeccompTable& table) {
    BpfProgram program{
        load_word(kArchOffset),
        insn(BPF_JMP | BPF_JEQ | BPF_K, table.audit_arch, 1, 0),
        ret(SECCOMP_RET_KILL_PROCESS),
        load_word(kNrOffset),
    };
    if (table.kill_x32) {
        program.push_back(insn(BPF_JMP | BPF_JSET | BPF_K, kX32SyscallBit, 0, 1));
        program.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    }
    for (const SeccompRow* row : TJ_TRY(sorted_rows(table))) {
        append(program, TJ_TRY(row_block(*row)));
    }
    program.push_back(ret(SECCOMP_RET_ALLOW));

    if (program.size() > kMaxBpfInstructions) {
        return fail(fmt::format(
            "The seccomp filter contains too many BPF instructions: {}. Max length is {}.",
            program.size(), kMaxBpfInstructions));
    }
    return program;
}

}  // namespace tj
