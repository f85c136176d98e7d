// SPDX-License-Identifier: Apache-2.0
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/** A Markdown table whose columns line up in plain text too. */
final class Table {
    private final List<List<String>> rows = new ArrayList<>();

    Table(String... header) {
        rows.add(Arrays.asList(header));
    }

    Table row(String... cells) {
        if (cells.length != rows.get(0).size()) throw new IllegalArgumentException("row width");
        rows.add(Arrays.asList(cells));
        return this;
    }

    String markdown() {
        int[] width = new int[rows.get(0).size()];
        for (List<String> row : rows) {
            for (int c = 0; c < width.length; c++) width[c] = Math.max(width[c], row.get(c).length());
        }
        StringBuilder text = new StringBuilder();
        for (int r = 0; r < rows.size(); r++) {
            line(text, rows.get(r), width);
            if (r == 0) {
                List<String> rule = new ArrayList<>();
                for (int w : width) rule.add("-".repeat(w));
                line(text, rule, width);
            }
        }
        return text.toString();
    }

    private static void line(StringBuilder text, List<String> cells, int[] width) {
        text.append('|');
        for (int c = 0; c < width.length; c++) {
            text.append(' ').append(cells.get(c)).append(" ".repeat(width[c] - cells.get(c).length())).append(" |");
        }
        text.append('\n');
    }
}
