// Validates PDF files with Apache PDFBox's Preflight (Debian's libpdfbox2-java),
// all of them in one Java process. Run as a single-file program:
//   java -cp <preflight and pdfbox jars> PdfaPreflight.java FILE...
// For each file it prints one line per finding, "FILE<TAB>CODE<TAB>DETAILS",
// or "FILE<TAB>ok" when there is none; a file Preflight cannot read at all
// gets the code "read". Tabs and line breaks in the details become spaces.
// The caller decides which rules count: Preflight checks PDF/A-1b.

import java.io.File;
import org.apache.pdfbox.preflight.PreflightDocument;
import org.apache.pdfbox.preflight.ValidationResult;
import org.apache.pdfbox.preflight.ValidationResult.ValidationError;
import org.apache.pdfbox.preflight.exception.SyntaxValidationException;
import org.apache.pdfbox.preflight.parser.PreflightParser;

public class PdfaPreflight {
  private static String flat(String text) {
    return text == null ? "" : text.replaceAll("[\\t\\r\\n]+", " ");
  }

  public static void main(String[] args) {
    for (String path : args) {
      ValidationResult result;
      try {
        PreflightParser parser = new PreflightParser(new File(path));
        try {
          parser.parse();
          try (PreflightDocument document = parser.getPreflightDocument()) {
            document.validate();
            result = document.getResult();
          }
        } catch (SyntaxValidationException e) {
          result = e.getResult();
        }
      } catch (Exception | LinkageError e) {
        System.out.println(path + "\tread\t" + flat(e.toString()));
        continue;
      }
      if (result == null || result.getErrorsList().isEmpty()) {
        System.out.println(path + "\tok");
        continue;
      }
      for (ValidationError error : result.getErrorsList()) {
        System.out.println(path + "\t" + error.getErrorCode() + "\t" + flat(error.getDetails()));
      }
    }
    System.out.flush();
  }
}
