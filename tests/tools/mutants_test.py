#!/usr/bin/env python3
"""The mutator changes exactly what it says: code, never comments, strings or the types of
templates and casts, and nothing outside the replaced range."""
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "mutate"))
import mutants  # noqa: E402

SOURCE = '''// a < b == c, in a comment
int F(int a, int b) {
  const char* text = "a < b && c";  /* x > y, in a block comment */
#define LIMIT (a < 2)
  auto p = reinterpret_cast<void (*)()>(a);
  FixedString<260> s;
  DWORD f = A | B;
  Call(a, 0);
  if (a < b && b != 3) return true;
  return a;
}
'''


class MutantsTest(unittest.TestCase):
    def found(self):
        return [(m.operator, m.description, mutants.changed_lines(SOURCE, m)[0]) for m in mutants.find_mutants(SOURCE)]

    def test_every_operator_in_source_order_and_nothing_else(self):
        self.assertEqual(self.found(), [
            ("literal", "260 -> 261", 6),
            ("flag", "flag A dropped", 7),
            ("flag", "flag B dropped", 7),
            ("call", "call Call(a, 0) removed", 8),
            ("literal", "0 -> 1", 8),
            ("boundary", "< -> <=", 9),
            ("inverted", "< -> >=", 9),
            ("logical", "&& -> ||", 9),
            ("inverted", "!= -> ==", 9),
            ("literal", "3 -> 4", 9),
            ("boolean", "true -> false", 9),
            ("return", "return a -> return {}", 10),
        ])

    def test_a_mutant_changes_only_its_own_range(self):
        for mutant in mutants.find_mutants(SOURCE):
            changed = mutant.apply(SOURCE).splitlines()
            original = SOURCE.splitlines()
            line = mutants.changed_lines(SOURCE, mutant)[0]
            with self.subTest(mutant.description):
                self.assertEqual(len(changed), len(original))
                differing = [i + 1 for i, (a, b) in enumerate(zip(original, changed)) if a != b]
                self.assertEqual(differing, [line])

    def test_the_changed_line_reads_before_and_after(self):
        boundary = next(m for m in mutants.find_mutants(SOURCE) if m.operator == "boundary")
        self.assertEqual(mutants.changed_lines(SOURCE, boundary),
                         (9, "if (a < b && b != 3) return true;", "if (a <= b && b != 3) return true;"))


if __name__ == "__main__":
    unittest.main()
