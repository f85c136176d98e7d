// SPDX-License-Identifier: Apache-2.0
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;

/** One benchmark's table, as Markdown, and how its figures stand against their targets. */
record Section(String markdown, List<Section.Target> targets) {
    /** A target, the figure measured against it, and whether that figure meets it. */
    record Target(String goal, String measured, boolean met) {}

    /**
     * Keeps the section in folder as TABLE.md and TABLE.targets (a line per target: goal, measured,
     * met or missed, between tabs), for a later run to take in with --include-saved.
     */
    void save(Path folder, String table) throws IOException {
        StringBuilder lines = new StringBuilder();
        for (Target t : targets) lines.append(t.goal()).append('\t').append(t.measured()).append('\t')
                .append(t.met() ? "met" : "missed").append('\n');
        Files.writeString(folder.resolve(table + ".md"), markdown);
        Files.writeString(folder.resolve(table + ".targets"), lines);
    }

    static Section load(Path folder, String table) throws IOException {
        List<Target> targets = new ArrayList<>();
        for (String line : Files.readAllLines(folder.resolve(table + ".targets"))) {
            String[] f = line.split("\t");
            targets.add(new Target(f[0], f[1], f[2].equals("met")));
        }
        return new Section(Files.readString(folder.resolve(table + ".md")), targets);
    }
}
