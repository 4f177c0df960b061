#!/usr/bin/env bash
# Makes the corpus of real PostScript and EPS documents in this folder, and its
# MANIFEST.tsv. It was run once on Debian 12; its output is committed, so
# neither the tests nor CI need any of the programs below. It stays here as the
# record of how each file came to be: taken as it is from a Debian package's
# documentation or examples, or made by a Debian program from such a file.
#
# Every source is a Debian package's file; every producer is a Debian program.
# Nothing comes from a program that turns PostScript into PDF, nor from the
# tests of one.
#
# Usage: tests/corpus/make-corpus.sh   (needs the packages in $needs below)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
needs="groff groff-base texlive-latex-base texlive-latex-recommended texlive-pstricks
texlive-metapost texlive-base texlive-plain-generic bzip2-doc gdb man-db gnuplot-nox fig2dev xfig-libs imagemagick graphicsmagick
poppler-utils a2ps enscript graphviz r-base-core librsvg2-bin grace plotutils
python3-matplotlib qrencode barcode paps mscgen ploticus gle-graphics abcm2ps
libtiff-tools netpbm"
: "$needs"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
manifest="$here/MANIFEST.tsv"
rm -f "$here"/*.ps "$here"/*.eps
printf '# file\tpackage\tproducer\tkind\tobtained\tcopyright\n' > "$manifest"
export SOURCE_DATE_EPOCH=1767225600   # dates the TeX outputs, 2026-01-01

# record NAME PACKAGE HOW: adds a made or taken file to the manifest.
record() {
  local name=$1 package=$2 how=$3 creator kind
  creator=$(head -c 20000 "$here/$name" | tr -d '\r' | grep -a -m1 '^%%Creator:' | sed 's/^%%Creator:[[:space:]]*//' || true)
  [ -n "$creator" ] || creator='(none)'
  case $name in *.eps) kind=eps ;; *) kind=ps ;; esac
  printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$name" "$package" "$creator" "$kind" "$how" \
    "/usr/share/doc/${package%% *}/copyright" >> "$manifest"
}

# take PATH NAME: copies a file of a package, uncompressed.
take() {
  local path=$1 name=$2 package
  package=$(dpkg -S "$path" | head -n1 | cut -d: -f1)
  zcat -f "$path" > "$here/$name"
  record "$name" "$package" "taken from $path"
}

# make PACKAGE NAME HOW COMMAND...: runs COMMAND in the work folder; it writes NAME there.
make() {
  local package=$1 name=$2 how=$3
  shift 3
  (cd "$work" && "$@") > "$work/log" 2>&1 || { cat "$work/log" >&2; echo "failed: $name" >&2; exit 1; }
  cp "$work/$name" "$here/$name"
  record "$name" "$package" "$how"
}

doc=/usr/share/doc
tdoc=$doc/texlive-doc
tex=/usr/share/texlive/texmf-dist

# --- Taken as they are from the packages' documentation and examples --------
take $doc/groff-base/examples/hdtbl/color_boxes.ps.gz groff-color-boxes.ps
take $doc/groff-base/examples/hdtbl/rainbow.ps.gz groff-rainbow.ps
take $doc/groff-base/examples/hdtbl/chess_board.ps.gz groff-chess-board.ps
take $doc/groff-base/examples/hdtbl/mixed_pickles.ps.gz groff-mixed-pickles.ps
take $doc/groff-base/examples/grnexmpl.ps.gz groff-grn-example.ps
take $doc/groff-base/meintro.ps.gz groff-meintro.ps
take $doc/groff-base/examples/gnu.eps.gz pnmtops-gnu.eps
take $doc/groff-base/examples/mom/penguin.ps.gz gimp-penguin.ps
take $doc/man-db/man-db-manual.ps.gz groff-man-db-manual.ps
take $doc/gdb/refcard.ps.gz dvips-gdb-refcard.ps
take $doc/bzip2/manual.ps.gz passivetex-bzip2-manual.ps
take $doc/plotutils/pic2plot/pic0.ps.gz groff-pic2plot-pic0.ps
take $tdoc/pdftex/samplepdftex/pic.eps.gz tiff2ps-photo.eps
take $tdoc/generic/epsf/tepsf.eps.gz psposter-tepsf.eps
take $tdoc/generic/insbox/pic1.eps.gz coreldraw-insbox.eps
take $tdoc/generic/tex-ps/cmyk-hax/fountain.eps.gz coreldraw-fountain.eps
take $tdoc/generic/tex-ps/cmyk-hax/screen.eps.gz cep-screen.eps
take $tdoc/dvipdfm/transistor.eps.gz fig2dev-transistor.eps
take $tdoc/generic/schemata/schemata.eps.gz cairo-schemata.eps
take $tdoc/latex/koma-script/examples/musterlogo.eps koma-musterlogo.eps
take $doc/abcm2ps/examples/sample3.eps abcm2ps-sample3.eps
take $tex/tex/latex/beamer/beamericonbook.eps gimp-beamer-book.eps
take $tex/tex/latex/beamer/beamericononline.eps cairo-beamer-online.eps
take $tex/tex/latex/pst-poker/Queen-heart-color.eps inkscape-queen-heart.eps
take $tex/tex/latex/pst-flags/Flags/pst-Kenya-flag-seal.eps cairo-kenya-seal.eps
take /usr/share/xfig/Libraries/Flags/NorthAmerica/mexico.ps imagemagick-mexico.ps

# --- Made by Debian's programs from the packages' files ---------------------
man1=/usr/share/man/man1
pics=/usr/share/xfig/Libraries
shots=$tdoc/texlive/texlive-common

# groff: man pages (bash's is the long one), and a pic/tbl/eqn document
make bash groff-bash-manual.ps "groff -man -Tps $man1/bash.1.gz" \
  sh -c "zcat $man1/bash.1.gz | groff -man -Tps > groff-bash-manual.ps"
make coreutils groff-ls-manual.ps "groff -man -Tps -dpaper=a4 -P-pa4 $man1/ls.1.gz" \
  sh -c "zcat $man1/ls.1.gz | groff -man -Tps -dpaper=a4 -P-pa4 > groff-ls-manual.ps"
make gawk groff-gawk-manual.ps "groff -man -Tps -P-l $man1/gawk.1.gz (landscape)" \
  sh -c "zcat $man1/gawk.1.gz | groff -man -Tps -P-l > groff-gawk-manual.ps"

# dvips: LaTeX's own samples, one with hyperref's links as pdfmarks, one as an EPS
# that asks for letter paper, and PSTricks drawings
cp $tex/tex/latex/base/sample2e.tex $tex/tex/latex/base/small2e.tex "$work/"
sed -e 's/^\\documentclass{article}/\\documentclass{article}\\usepackage[dvips,pdfauthor={LaTeX Project},pdftitle={An Example Document}]{hyperref}/' \
  -e 's/^\\maketitle/\\maketitle\\tableofcontents\\newpage/' \
  -e 's/^\\section/\\newpage\\section/' \
  "$work/sample2e.tex" > "$work/hyper2e.tex"
make texlive-latex-base dvips-hyperref-sample.ps \
  "sample2e.tex with hyperref (dvips driver), a contents page and a page per section: latex three times, dvips -t a4" \
  sh -c 'for i in 1 2 3; do latex -interaction=batchmode hyper2e.tex; done; dvips -t a4 -o dvips-hyperref-sample.ps hyper2e.dvi'
make texlive-latex-base dvips-small2e-letter.eps "latex small2e.tex; dvips -E -t letter: asks for letter paper by setpagedevice; dvips cannot make it EPSF then, so its bounding box is the page" \
  sh -c 'latex -interaction=batchmode small2e.tex && dvips -E -t letter -o dvips-small2e-letter.eps small2e.dvi'
cat > "$work/picture.tex" <<'TEX'
\documentclass{article}
\usepackage{pstricks,pst-plot,pst-node,pst-grad}
\pagestyle{empty}
\begin{document}
\begin{pspicture}(-4,-2)(4,4)
\psaxes[labels=none]{->}(0,0)(-4,-2)(4,2)
\psplot[linecolor=blue,plotpoints=200]{-4}{4}{x 180 mul 3.1416 div sin}
\psframe[fillstyle=vlines,hatchcolor=red](-3,2.5)(-1,3.5)
\rput(1,3){\rnode{A}{\psframebox{PSTricks}}}\rput(3,2.5){\rnode{B}{node}}\ncline{->}{A}{B}
\pscircle[fillstyle=gradient,gradbegin=yellow,gradend=red](2,-1){0.8}
\end{pspicture}
\end{document}
TEX
make texlive-pstricks dvips-pstricks.ps "a PSTricks picture (pst-plot, pst-node, gradient): latex; dvips -t a4" \
  sh -c 'latex -interaction=batchmode picture.tex && dvips -t a4 -o dvips-pstricks.ps picture.dvi'

# MetaPost: a package's figure; its font is set to one TeX Live has (rptmr is in a
# package not installed here) and embedded (prologues 3)
sed -e 's/"rptmr"/"cmr10"/' -e 's/prologues := 1/prologues := 3/' $tex/metapost/bbcard/scorecard.mp > "$work/scorecard.mp"
make texlive-metapost mpost-scorecard.eps "mpost scorecard.mp (bbcard) with cmr10 for rptmr and prologues 3, its figure -1" \
  sh -c 'mpost -interaction=batchmode scorecard.mp && mv scorecard.ps mpost-scorecard.eps'

# groff: chem and mom examples
cp $doc/groff-base/examples/chem/*.chem $doc/groff-base/examples/mom/typesetting.mom "$work/"
make groff-base groff-chem-penicillin.ps "chem penicillin.chem | groff -p -Tps" \
  sh -c 'chem penicillin.chem | groff -p -Tps > groff-chem-penicillin.ps'
make groff-base groff-mom-typesetting.ps "groff -mom -Tps typesetting.mom" \
  sh -c 'groff -mom -Tps typesetting.mom > groff-mom-typesetting.ps'

# gnuplot: its demos (ctime creation dates; the postscript terminal's pages are landscape)
gex=/usr/share/doc/gnuplot/examples
make gnuplot-doc gnuplot-airfoil.ps "gnuplot airfoil.dem, set term postscript enhanced color" \
  sh -c "cd $gex && gnuplot -e \"set term postscript enhanced color; set output '$work/gnuplot-airfoil.ps'\" airfoil.dem < /dev/null"
make gnuplot-doc gnuplot-heatmaps.ps "gnuplot heatmaps.dem (images), set term postscript enhanced color" \
  sh -c "cd $gex && gnuplot -e \"set term postscript enhanced color; set output '$work/gnuplot-heatmaps.ps'\" heatmaps.dem < /dev/null"
make gnuplot-doc gnuplot-rainbow.eps "gnuplot rainbow.dem up to its first pause, set term postscript eps enhanced color" \
  sh -c "sed '/^pause/,\$d' $gex/rainbow.dem > one.dem && cd $gex && gnuplot -e \"set term postscript eps enhanced color; set output '$work/gnuplot-rainbow.eps'\" $work/one.dem < /dev/null"
make gnuplot-doc gnuplot-world.eps "gnuplot world.dem up to its first pause, set term postscript eps monochrome" \
  sh -c "sed '/^pause/,\$d' $gex/world.dem > w.dem && cd $gex && gnuplot -e \"set term postscript eps monochrome; set output '$work/gnuplot-world.eps'\" $work/w.dem < /dev/null"

# fig2dev: xfig's library of drawings, one of them with pictures in it
fig=$pics/Examples
make xfig-libs fig2dev-logic.eps "fig2dev -L eps logic.fig" fig2dev -L eps $fig/logic.fig fig2dev-logic.eps
make xfig-libs fig2dev-flowchart.eps "fig2dev -L eps flowchart.fig" fig2dev -L eps $fig/flowchart.fig fig2dev-flowchart.eps
make xfig-libs fig2dev-pictures.ps "fig2dev -L ps -z A4 pictures.fig (JPEG, GIF, XBM, XPM pictures)" \
  sh -c "cd $fig && fig2dev -L ps -z A4 pictures.fig $work/fig2dev-pictures.ps"
make xfig-libs fig2dev-house-plans.ps "fig2dev -L ps -l x -z Letter house_plans.fig (landscape)" \
  fig2dev -L ps -l x -z Letter $fig/house_plans.fig fig2dev-house-plans.ps
make xfig-libs fig2dev-canada.eps "fig2dev -L eps Maps/Canada/yukon.fig" fig2dev -L eps $pics/Maps/Canada/yukon.fig fig2dev-canada.eps

# images: photographs (JPEG data kept as DCT), screenshots and colour maps (lossless)
im=convert-im6.q16
make xfig-libs imagemagick-icebergs-jpeg.eps "$im icebergs.jpg -compress jpeg eps3: (JPEG data)" \
  $im $fig/icebergs.jpg -compress jpeg eps3:imagemagick-icebergs-jpeg.eps
make texlive-base imagemagick-tlmgr-screenshot.eps "$im tlmgr-gui.png -resize 50% eps2: (screenshot)" \
  $im $shots/tlmgr-gui.png -resize 50% eps2:imagemagick-tlmgr-screenshot.eps
make xfig-libs imagemagick-bugs-gif.eps "$im bugs.gif eps2: (colour-mapped)" \
  $im $fig/bugs.gif eps2:imagemagick-bugs-gif.eps
make python3-matplotlib graphicsmagick-grace-hopper-jpeg.ps "gm convert grace_hopper.jpg -compress jpeg ps3: (JPEG data)" \
  gm convert /usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg -compress jpeg ps3:graphicsmagick-grace-hopper-jpeg.ps
make texlive-base graphicsmagick-tlshell-screenshot.eps "gm convert tlshell-macos.png -resize 40% eps: (screenshot)" \
  gm convert $shots/tlshell-macos.png -resize 40% eps:graphicsmagick-tlshell-screenshot.eps
make texlive-base pnmtops-pic16-rle.eps "pngtopnm pic16.png | pnmtops -rle -noturn (colour-mapped)" \
  sh -c "pngtopnm $tdoc/pdftex/samplepdftex/pic16.png | pnmtops -rle -noturn -nocenter > pnmtops-pic16-rle.eps"
make texlive-base tiff2ps-stdcoll.eps "pngtopnm stdcoll.png | pnmtotiff; tiff2ps -e -2 (screenshot)" \
  sh -c "pngtopnm $shots/stdcoll.png | pnmtotiff -lzw > s.tif && tiff2ps -e -2 s.tif > tiff2ps-stdcoll.eps"

# pdftops: PDF documents of the TeX Live documentation
make texlive-base pdftops-btxdoc.ps "pdftops btxdoc.pdf (16 pages)" pdftops $tdoc/bibtex/base/btxdoc.pdf pdftops-btxdoc.ps
make texlive-latex-recommended pdftops-koma-letter.ps "pdftops letter-example-01-en.pdf" \
  pdftops $tdoc/latex/koma-script/examples/letter-example-01-en.pdf pdftops-koma-letter.ps
make texlive-base pdftops-texlive-guide-page.eps "pdftops -eps -f 12 -l 12 texlive-en.pdf (a page with a screenshot)" \
  pdftops -eps -f 12 -l 12 $tdoc/texlive/texlive-en/texlive-en.pdf pdftops-texlive-guide-page.eps

# text printers: a2ps (two pages a sheet), enscript (the long one), paps
make base-files a2ps-gpl.ps "a2ps -o a2ps-gpl.ps /usr/share/common-licenses/GPL-3" \
  a2ps -q -o a2ps-gpl.ps /usr/share/common-licenses/GPL-3
make groff enscript-groff-changelog.ps "zcat groff changelog.gz | enscript -q -G -o" \
  sh -c "zcat $doc/groff/changelog.gz | enscript -q -G -o enscript-groff-changelog.ps"
make base-files enscript-apache-license.ps "enscript -q -2r -E -o (two columns, landscape) Apache-2.0" \
  enscript -q -2r -o enscript-apache-license.ps /usr/share/common-licenses/Apache-2.0
make base-files paps-artistic.ps "paps Artistic" sh -c "paps /usr/share/common-licenses/Artistic > paps-artistic.ps"

# graphviz
make apt graphviz-apt-dotty.ps "apt-cache dotty bash | dot -Tps" \
  sh -c "apt-cache dotty bash | dot -Tps > graphviz-apt-dotty.ps"
make apt graphviz-apt-dotty-cairo.eps "apt-cache dotty coreutils | dot -Teps:cairo" \
  sh -c "apt-cache dotty coreutils | dot -Teps:cairo > graphviz-apt-dotty-cairo.eps"

# R: its graphics demo and the volcano data set
make r-base-core r-graphics-demo.ps "Rscript: postscript(); demo(graphics)" \
  Rscript -e 'postscript("r-graphics-demo.ps"); demo(graphics, ask = FALSE, echo = FALSE)'
make r-base-core r-volcano-raster.eps "Rscript: postscript(onefile=FALSE, paper='special'); image(volcano, useRaster=TRUE)" \
  Rscript -e 'postscript("r-volcano-raster.eps", onefile = FALSE, horizontal = FALSE, paper = "special", width = 6, height = 5); image(volcano, useRaster = TRUE, col = terrain.colors(64)); contour(volcano, add = TRUE)'

# cairo through librsvg
make python3-matplotlib cairo-rsvg-matplotlib-logo.eps "rsvg-convert -f eps matplotlib.svg" \
  rsvg-convert -f eps -o cairo-rsvg-matplotlib-logo.eps /usr/share/matplotlib/mpl-data/images/matplotlib.svg
make postgresql-common cairo-rsvg-pg-dependencies.ps "rsvg-convert -f ps dependencies.svg" \
  rsvg-convert -f ps -o cairo-rsvg-pg-dependencies.ps $doc/postgresql-common/dependencies.svg

# Grace, plotutils, matplotlib
make grace grace-co2.ps "gracebat co2.agr -hdevice PostScript" \
  sh -c "cd $doc/grace/examples && gracebat co2.agr -hdevice PostScript -printfile $work/grace-co2.ps"
make grace grace-charts.eps "gracebat charts.agr -hdevice EPS" \
  sh -c "cd $doc/grace/examples && gracebat charts.agr -hdevice EPS -printfile $work/grace-charts.eps"
make ploticus plotutils-graph.ps "graph -T ps on ploticus's curve1.dat" \
  sh -c "awk 'NF>=2 && \$1+0==\$1 {print \$1, \$2}' $doc/ploticus/examples/curve1.dat | graph -T ps -C -m 2 -S 4 > plotutils-graph.ps"
make python3-matplotlib matplotlib-grace-hopper.eps "python3 matplotlib: imshow(grace_hopper.jpg) with a colour bar, savefig .eps" \
  /usr/bin/python3 -c 'import matplotlib; matplotlib.use("Agg"); import matplotlib.pyplot as p, matplotlib.cbook as c; im = p.imread(c.get_sample_data("grace_hopper.jpg")); f, a = p.subplots(); s = a.imshow(im[::4, ::4, 0], cmap="viridis"); f.colorbar(s); a.set_title("grace_hopper.jpg, red channel"); f.savefig("matplotlib-grace-hopper.eps")'
make python3-matplotlib matplotlib-plots.ps "python3 matplotlib: a text, a line plot and a histogram, savefig .ps papertype a4" \
  /usr/bin/python3 -c 'import matplotlib; matplotlib.use("Agg"); import matplotlib.pyplot as p, numpy as n; f, (a, b) = p.subplots(2, 1); x = n.linspace(0, 10, 200); a.plot(x, n.sin(x), label="sin"); a.legend(); b.hist(n.random.default_rng(1).normal(size=500), 30); f.suptitle("matplotlib"); f.savefig("matplotlib-plots.ps", papertype="a4")'

# little producers of their own: qrencode, GNU barcode, mscgen, ploticus, abcm2ps
make qrencode qrencode-debian.eps "qrencode -t EPS" qrencode -t EPS -o qrencode-debian.eps "https://www.debian.org/"
make barcode barcode-ean.ps "barcode -e ean -b 9780201379624 and a table of codes on A4" \
  sh -c "printf '9780201379624\n9780596005924\n0012345678905\n' | barcode -e ean -t 2x5 -p a4 -o barcode-ean.ps"
make mscgen mscgen-client-server.eps "mscgen -T eps client_server.msc" \
  mscgen -T eps -i $doc/mscgen/examples/client_server.msc -o mscgen-client-server.eps
make ploticus ploticus-lineplot4.eps "ploticus -eps lineplot4.htm" \
  sh -c "cd $doc/ploticus/examples && ploticus -eps lineplot4.htm -o $work/ploticus-lineplot4.eps"
make ploticus ploticus-heatmap3.ps "ploticus -ps heatmap3.htm" \
  sh -c "cd $doc/ploticus/examples && ploticus -ps heatmap3.htm -o $work/ploticus-heatmap3.ps"
make abcm2ps abcm2ps-sample.ps "abcm2ps sample.abc" abcm2ps -q $doc/abcm2ps/examples/sample.abc -O abcm2ps-sample.ps
make abcm2ps abcm2ps-voices.eps "abcm2ps -E voices.abc, its first tune" \
  sh -c "abcm2ps -q -E $doc/abcm2ps/examples/voices.abc -O abcm2ps-voices.eps && mv abcm2ps-voices001.eps abcm2ps-voices.eps"

echo "corpus: $(ls "$here"/*.ps "$here"/*.eps | wc -l) files, $(du -cb "$here"/*.ps "$here"/*.eps | tail -n1 | cut -f1) bytes"
