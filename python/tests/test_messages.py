"""The programs' table of messages, as the Python tools read it."""

from twolocus.messages import MESSAGES, TABLE_PATHS, parse_table, pattern


def test_the_table_reads_whole_and_its_patterns_match_printed_lines():
    with open(TABLE_PATHS[1], encoding="utf-8") as table:
        text = table.read()
    assert len(MESSAGES) == text.count("\nTWOLOCUS_MESSAGE(") == len(parse_table(text))
    assert MESSAGES["output_in_use"].fatal and not MESSAGES["new_n"].fatal
    assert MESSAGES["switching_n"].text.count('"') == 2
    assert pattern("output_in_use").fullmatch("Output file [a b] is in use by another run.")
    assert pattern("params_line_format").fullmatch(
        "You have to reenter the parameters.  Line 89 of [x.params] is not of the right format.")
    assert not pattern("output_in_use").fullmatch("Output file [x] is the fitness file.")
