// Draws the chosen board's node graph as SVG from its layout (graph-layout.mjs). Every box is a button: Tab
// reaches it, Enter, Space or a click opens the node's form. The time the last drawing took is kept on the svg
// (data-draw-ms) for the browser test.

import { BOX, layoutGraph } from "./graph-layout.mjs";
import { selectedBoard } from "./store.mjs";
import { element } from "./board-view.mjs";

const SVG = "http://www.w3.org/2000/svg";

function svgElement(name, attributes, text) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (text !== undefined) node.textContent = text;
  return node;
}

function boxElement(box, edges, onOpen) {
  const title = box.missing ? `#${box.id} missing` : `${box.type} #${box.id}`;
  const reads = edges.filter((edge) => edge.to === box.key)
    .map((edge) => `${edge.input.replace(/^prop_/, "")} from ${edge.broken ? "missing " : ""}#${edge.source}`);
  const group = svgElement("g", { class: box.missing ? "graph-node missing" : "graph-node", transform: `translate(${box.x} ${box.y})` });
  group.dataset.node = box.key;
  if (box.missing) {
    group.setAttribute("role", "img");
    group.setAttribute("aria-label", `${title}: referenced but not on the board`);
  } else {
    // Its name is what it shows; what it reads is its description.
    group.setAttribute("tabindex", "0");
    group.setAttribute("role", "button");
    if (reads.length) group.append(svgElement("desc", {}, `reads ${reads.join(", ")}`));
    group.addEventListener("click", () => onOpen(box.id));
    group.addEventListener("keydown", (event) => {
      if (event.key !== "Enter" && event.key !== " ") return;
      event.preventDefault();
      onOpen(box.id);
    });
  }
  group.append(svgElement("rect", { width: BOX.width, height: BOX.height, rx: 6 }));
  group.append(svgElement("text", { x: 8, y: 17, class: "graph-title" }, title));
  box.lines.forEach((line, index) => group.append(svgElement("text", { x: 8, y: 34 + index * 15 }, line)));
  return group;
}

let drawn = "";

// onOpen(id): what choosing a node does.
export function renderGraph(state, onOpen) {
  const board = selectedBoard(state);
  const svg = element("node-graph");
  const key = board ? `${state.selected}|${board.nodesRevision}|${state.tables ? "tables" : ""}` : "";
  if (key === drawn) return;
  drawn = key;
  const started = performance.now();
  const nodes = board ? board.nodes : new Map();
  element("graph-hint").textContent = !board ? "Choose a board first."
    : nodes.size ? `${nodes.size} node(s). Choose a node (click, or Tab and Enter) to open its form.`
      : "Press Export to draw the board's nodes.";
  if (!nodes.size) {
    svg.replaceChildren();
    svg.setAttribute("width", "0");
    svg.setAttribute("height", "0");
    return;
  }
  const layout = layoutGraph(nodes, state.tables);
  const edges = svgElement("g", { class: "graph-edges", "aria-hidden": "true" });
  for (const edge of layout.edges) {
    const path = svgElement("path", { d: edge.path, class: edge.broken ? "graph-edge broken" : "graph-edge" });
    path.append(svgElement("title", {}, `${edge.input} of node ${edge.to}`));
    edges.append(path);
  }
  const boxes = svgElement("g", { class: "graph-boxes" });
  for (const box of layout.boxes) boxes.append(boxElement(box, layout.edges, onOpen));
  svg.replaceChildren(edges, boxes);
  svg.setAttribute("width", layout.width);
  svg.setAttribute("height", layout.height);
  svg.setAttribute("viewBox", `0 0 ${layout.width} ${layout.height}`);
  svg.dataset.nodes = String(nodes.size);
  svg.dataset.drawMs = (performance.now() - started).toFixed(1);
}
